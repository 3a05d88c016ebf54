// Profile (INI) files on POSIX with the behaviour of the Windows private-profile functions:
//
// - "[section]" lines open a section; "key=value" lines inside it hold the keys. Section and key
//   names are compared without regard to ASCII case; blanks around names and values are ignored.
// - A value enclosed in a matching pair of quotes (single or double) is returned without them.
// - Lines whose first non-blank character is ';' are comments. Lines before the first section,
//   lines without '=' and other malformed lines are ignored.
// - Only the first section of a given name counts, and within it the first line of a given key
//   (on reading, and as the line that a write replaces).
// - Both CRLF and LF line ends are read. New lines end in CRLF; a replaced line keeps its own
//   line end, and every other line is copied byte for byte.
// - A write whose value is already stored leaves the file untouched.
//
// Nothing is allocated: the file is streamed through fixed buffers. Only the head of each line
// (kLineHeadSize - 1 bytes) is parsed; the rest of a longer line is skipped when reading and
// copied through unchanged when the file is rewritten, so an overlong line never spills into the
// next one. A value that lies partly beyond the head is returned as far as the head reaches.
#include "platform/posix/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace vexlor::platform::profile {
namespace {

constexpr size_t kReadBufferSize = 4096;
constexpr size_t kLineHeadSize = 1024;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

struct Span {
    const char* data = nullptr;
    size_t size = 0;
};

Span Trim(const char* data, size_t size) {
    while (size > 0 && IsBlank(*data)) {
        ++data;
        --size;
    }
    while (size > 0 && IsBlank(data[size - 1])) --size;
    return {data, size};
}

// Compares a name from the file with a name from the caller. Both are taken without blanks at
// either end, so that a section or key written with such blanks is found again.
bool EqualsNoCase(Span a, const char* b) {
    const Span name = Trim(b, std::strlen(b));
    if (a.size != name.size) return false;
    for (size_t i = 0; i < a.size; ++i) {
        if (LowerAscii(a.data[i]) != LowerAscii(name.data[i])) return false;
    }
    return true;
}

// One line of the file: the parsed head and where the whole line lies in the file.
struct Line {
    char head[kLineHeadSize];
    size_t headLen = 0;  // bytes in head, without the line end
    bool cut = false;    // the line's content is longer than head
    bool terminated = false;
    bool crlf = false;  // the line end is CRLF
    off_t start = 0;    // offset of the line's first byte
    off_t end = 0;      // offset just past the line end (or the end of the file)
};

// Reads a file line by line from its start through a fixed buffer.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line, or false at the end of the file (or on a read error, see failed()).
    bool Next(Line* line) {
        if (pos_ == len_ && !Fill()) return false;
        line->start = offset_ + static_cast<off_t>(pos_);
        line->headLen = 0;
        line->cut = false;
        line->terminated = false;
        line->crlf = false;
        char lastByte = 0;  // the last byte of the line before its LF
        size_t total = 0;   // bytes of the line before its LF
        for (;;) {
            if (pos_ == len_ && !Fill()) break;
            const char* from = buffer_ + pos_;
            const char* newline = static_cast<const char*>(std::memchr(from, '\n', len_ - pos_));
            const size_t chunk = newline ? static_cast<size_t>(newline - from) : len_ - pos_;
            const size_t room = kLineHeadSize - 1 - line->headLen;
            const size_t take = chunk < room ? chunk : room;
            std::memcpy(line->head + line->headLen, from, take);
            line->headLen += take;
            total += chunk;
            if (chunk > 0) lastByte = from[chunk - 1];
            pos_ += chunk;
            if (newline) {
                ++pos_;
                line->terminated = true;
                line->crlf = lastByte == '\r';
                break;
            }
        }
        line->end = offset_ + static_cast<off_t>(pos_);
        const size_t content = line->crlf ? total - 1 : total;  // without the line end
        line->cut = content > kLineHeadSize - 1;
        if (line->headLen > content) line->headLen = content;
        line->head[line->headLen] = '\0';
        // A UTF-8 byte order mark at the start of the file is not part of the first line.
        if (line->start == 0 && line->headLen >= 3 &&
            std::memcmp(line->head, "\xEF\xBB\xBF", 3) == 0) {
            std::memmove(line->head, line->head + 3, line->headLen - 2);
            line->headLen -= 3;
            line->start += 3;
        }
        return true;
    }

    bool failed() const { return failed_; }

  private:
    bool Fill() {
        if (failed_) return false;
        offset_ += static_cast<off_t>(len_);
        pos_ = 0;
        len_ = 0;
        for (;;) {
            const ssize_t got = ::pread(fd_, buffer_, sizeof buffer_, offset_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) failed_ = true;
            if (got <= 0) return false;
            len_ = static_cast<size_t>(got);
            return true;
        }
    }

    int fd_;
    char buffer_[kReadBufferSize];
    size_t pos_ = 0;
    size_t len_ = 0;
    off_t offset_ = 0;  // file offset of buffer_[0]
    bool failed_ = false;
};

enum class LineKind { kOther, kSection, kKey };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    Span name;          // section or key name, trimmed
    Span value;         // key value, trimmed and unquoted
    size_t prefix = 0;  // bytes of a key line before its value ('=' and the blanks after it)
};

ParsedLine Parse(const Line& line) {
    ParsedLine parsed;
    const char* p = line.head;
    const char* end = line.head + line.headLen;
    while (p < end && IsBlank(*p)) ++p;
    if (p == end || *p == ';') return parsed;
    const size_t rest = static_cast<size_t>(end - p);
    if (*p == '[') {
        const char* close = static_cast<const char*>(std::memchr(p, ']', rest));
        if (close == nullptr) return parsed;
        parsed.kind = LineKind::kSection;
        parsed.name = Trim(p + 1, static_cast<size_t>(close - p - 1));
        return parsed;
    }
    const char* equals = static_cast<const char*>(std::memchr(p, '=', rest));
    if (equals == nullptr) return parsed;
    parsed.name = Trim(p, static_cast<size_t>(equals - p));
    if (parsed.name.size == 0) return parsed;
    parsed.kind = LineKind::kKey;
    const char* value = equals + 1;
    while (value < end && IsBlank(*value)) ++value;
    parsed.prefix = static_cast<size_t>(value - line.head);
    size_t size = static_cast<size_t>(end - value);
    if (!line.cut) {  // the end of a cut line is unknown: keep what the head holds
        while (size > 0 && IsBlank(value[size - 1])) --size;
        if (size >= 2 && (value[0] == '"' || value[0] == '\'') && value[size - 1] == value[0]) {
            ++value;
            size -= 2;
        }
    }
    parsed.value = {value, size};
    return parsed;
}

bool HasAny(const char* text, const char* characters) {
    return std::strpbrk(text, characters) != nullptr;
}

// Length of the value up to its first line break: a value cannot span lines.
size_t ValueLength(const char* value) {
    return std::strcspn(value, "\r\n");
}

// Works out where section/key lies in the old file (fd < 0: there is none) and what to replace.
bool PlanWrite(int fd, const char* section, const char* key, const char* value, size_t valueLen,
               Splice* splice) {
    if (fd < 0) return true;
    LineReader reader(fd);
    Line line;
    bool inSection = false;
    bool lastTerminated = true;
    off_t fileEnd = 0;
    off_t insertAt = 0;  // just past the target section's last non-blank line
    bool insertTerminated = true;
    while (reader.Next(&line)) {
        fileEnd = line.end;
        lastTerminated = line.terminated;
        const ParsedLine parsed = Parse(line);
        if (parsed.kind == LineKind::kSection) {
            if (inSection) break;  // the first section of this name ends here
            if (!splice->sectionFound && EqualsNoCase(parsed.name, section)) {
                inSection = true;
                splice->sectionFound = true;
            }
        } else if (inSection && parsed.kind == LineKind::kKey && EqualsNoCase(parsed.name, key)) {
            splice->replacesKey = true;
            splice->start = line.start;
            splice->end = line.end;
            splice->keepPrefix = parsed.prefix;
            splice->terminated = line.terminated;
            splice->crlf = line.crlf;
            splice->unchanged = !line.cut && line.headLen - parsed.prefix == valueLen &&
                                std::memcmp(line.head + parsed.prefix, value, valueLen) == 0;
            return !reader.failed();
        }
        const bool blank = !line.cut && Trim(line.head, line.headLen).size == 0;
        if (inSection && !blank) {
            insertAt = line.end;
            insertTerminated = line.terminated;
        }
    }
    if (reader.failed()) return false;
    if (splice->sectionFound) {
        splice->start = splice->end = insertAt;
        splice->lineBreakBefore = !insertTerminated;
    } else {
        splice->start = splice->end = fileEnd;
        splice->lineBreakBefore = !lastTerminated;
    }
    return true;
}

// Writes the new file: the old one with the splice applied.
bool WriteSpliced(int old, int out, const Splice& splice, const char* section, const char* key,
                  const char* value, size_t valueLen) {
    if (old >= 0 && !CopyRange(old, out, 0, splice.start)) return false;
    if (splice.replacesKey) {
        char prefix[kLineHeadSize];
        if (::pread(old, prefix, splice.keepPrefix, splice.start) !=
                static_cast<ssize_t>(splice.keepPrefix) ||
            !WriteAll(out, prefix, splice.keepPrefix) || !WriteAll(out, value, valueLen)) {
            return false;
        }
        if (splice.terminated && !WriteAll(out, splice.crlf ? "\r\n" : "\n", splice.crlf ? 2 : 1)) {
            return false;
        }
    } else {
        if (splice.lineBreakBefore && !WriteAll(out, "\r\n", 2)) return false;
        if (!splice.sectionFound) {
            if (!WriteAll(out, "[", 1) || !WriteAll(out, section, std::strlen(section)) ||
                !WriteAll(out, "]\r\n", 3)) {
                return false;
            }
        }
        if (!WriteAll(out, key, std::strlen(key)) || !WriteAll(out, "=", 1) ||
            !WriteAll(out, value, valueLen) || !WriteAll(out, "\r\n", 2)) {
            return false;
        }
    }
    return old < 0 || CopyRange(old, out, splice.end, -1);
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool CopyRange(int in, int out, off_t from, off_t to) {
    char buffer[kReadBufferSize];
    while (to < 0 || from < to) {
        size_t want = sizeof buffer;
        if (to >= 0 && static_cast<off_t>(want) > to - from) want = static_cast<size_t>(to - from);
        const ssize_t got = ::pread(in, buffer, want, from);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return to < 0;  // a file that shrank under us is an error
        if (!WriteAll(out, buffer, static_cast<size_t>(got))) return false;
        from += got;
    }
    return true;
}

bool Lookup(int fd, const char* section, const char* key, char* buffer, uint32_t size,
            uint32_t* length) {
    if (fd < 0 || section == nullptr || key == nullptr || buffer == nullptr || size == 0) {
        return false;
    }
    LineReader reader(fd);
    Line line;
    bool inSection = false;
    while (reader.Next(&line)) {
        const ParsedLine parsed = Parse(line);
        if (parsed.kind == LineKind::kSection) {
            if (inSection) break;  // only the first section of this name counts
            inSection = EqualsNoCase(parsed.name, section);
        } else if (inSection && parsed.kind == LineKind::kKey && EqualsNoCase(parsed.name, key)) {
            const size_t count = parsed.value.size < size - 1 ? parsed.value.size : size - 1;
            std::memcpy(buffer, parsed.value.data, count);
            buffer[count] = '\0';
            *length = static_cast<uint32_t>(count);
            return true;
        }
    }
    return false;
}

int OpenForReading(const char* path) {
    for (;;) {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

bool LookupPath(const char* path, const char* section, const char* key, char* buffer, uint32_t size,
                uint32_t* length) {
    if (path == nullptr) return false;
    const int fd = OpenForReading(path);
    if (fd < 0) return false;
    const bool found = Lookup(fd, section, key, buffer, size, length);
    ::close(fd);
    return found;
}

uint32_t GetString(LookupFunction lookup, const char* section, const char* key,
                   const char* defaultValue, char* buffer, uint32_t size, const char* path) {
    if (buffer == nullptr || size == 0) return 0;
    uint32_t length = 0;
    if (lookup(path, section, key, buffer, size, &length)) return length;
    const char* fallback = defaultValue ? defaultValue : "";
    size_t count = std::strlen(fallback);
    if (count > size - 1) count = size - 1;
    std::memmove(buffer, fallback, count);  // the default may lie inside the buffer
    buffer[count] = '\0';
    return static_cast<uint32_t>(count);
}

int GetInt(LookupFunction lookup, const char* section, const char* key, int defaultValue,
           const char* path) {
    char text[64];
    uint32_t length = 0;
    if (!lookup(path, section, key, text, sizeof text, &length) || length == 0) {
        return defaultValue;
    }
    return LeadingNumber(text);
}

int LeadingNumber(const char* text) {
    // Numbers beyond the range of int are held at its limits.
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        number = number * 10 + (*p - '0');
        if (number > static_cast<long long>(INT_MAX) + 1)
            number = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) number = -number;
    if (number > INT_MAX) number = INT_MAX;
    return static_cast<int>(number);
}

bool PlanEdit(int old, const char* section, const char* key, const char* value, Edit* edit) {
    if (section == nullptr || key == nullptr || value == nullptr) return false;
    // Names that the file format cannot hold would corrupt the file's structure.
    if (section[0] == '\0' || HasAny(section, "]\r\n")) return false;
    // A key whose first non-blank character starts a comment or a section line could never be
    // read back.
    const Span keyName = Trim(key, std::strlen(key));
    if (keyName.size == 0 || HasAny(key, "=\r\n") || keyName.data[0] == ';' ||
        keyName.data[0] == '[') {
        return false;
    }
    const size_t valueLen = ValueLength(value);
    // Only the head of a line is ever parsed: a line longer than that could not be read back
    // as written, so such a write is refused.
    constexpr size_t kLongestLine = kLineHeadSize - 1;
    if (std::strlen(section) + 2 > kLongestLine || std::strlen(key) + 1 + valueLen > kLongestLine) {
        return false;
    }
    *edit = Edit{section, key, value, valueLen, Splice{}};
    if (!PlanWrite(old, section, key, value, valueLen, &edit->splice)) return false;
    return edit->splice.unchanged || !edit->splice.replacesKey ||
           edit->splice.keepPrefix + valueLen <= kLongestLine;
}

bool WriteEdit(int old, int out, const Edit& edit) {
    return WriteSpliced(old, out, edit.splice, edit.section, edit.key, edit.value,
                        edit.valueLength);
}

bool ResolveLinks(const char* path, char* resolved, size_t size) {
    if (path == nullptr || size == 0) return false;
    const size_t length = std::strlen(path);
    if (length >= size) return false;
    std::memcpy(resolved, path, length + 1);
    // As many links as the system itself follows before it reports a loop.
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info;
        if (::lstat(resolved, &info) != 0 || !S_ISLNK(info.st_mode)) return true;
        char target[4096];
        const ssize_t n = ::readlink(resolved, target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        if (target[0] == '/') {
            if (static_cast<size_t>(n) >= size) return false;
            std::memcpy(resolved, target, static_cast<size_t>(n) + 1);
            continue;
        }
        // A relative link is taken from the directory that holds the link.
        const char* slash = std::strrchr(resolved, '/');
        const size_t keep = slash == nullptr ? 0 : static_cast<size_t>(slash - resolved) + 1;
        if (keep + static_cast<size_t>(n) >= size) return false;
        std::memmove(resolved + keep, target, static_cast<size_t>(n) + 1);
    }
    return false;
}

}  // namespace vexlor::platform::profile
