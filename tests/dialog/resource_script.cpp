#include "resource_script.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

namespace dialogtest {
namespace {

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// Splits at commas outside quotes.
std::vector<std::string> SplitArguments(const std::string& s) {
    std::vector<std::string> parts;
    std::string current;
    bool quoted = false;
    for (char c : s) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            parts.push_back(Trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(Trim(current));
    return parts;
}

std::vector<std::string> SplitStyles(const std::string& s) {
    std::vector<std::string> styles;
    std::stringstream in(s);
    std::string part;
    while (std::getline(in, part, '|')) styles.push_back(Trim(part));
    return styles;
}

bool Unquote(const std::string& s, std::string* out) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') return false;
    *out = s.substr(1, s.size() - 2);
    return true;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

bool TemplateControl::HasStyle(const std::string& style) const {
    return Contains(styles, style);
}

bool DialogTemplate::HasStyle(const std::string& style) const {
    return Contains(styles, style);
}

const TemplateControl* DialogTemplate::Find(int id) const {
    for (const TemplateControl& c : controls) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

std::string ReadScript(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string ResourcePath(const std::string& name) {
    return std::string(VEXLOR_RESOURCE_DIR) + "/" + name;
}

std::vector<DialogTemplate> ReadDialogTemplates(const std::string& path, std::string* error) {
    std::vector<DialogTemplate> templates;
    std::stringstream in(ReadScript(path));
    std::string line;
    DialogTemplate* current = nullptr;
    bool inBody = false;
    int lineNumber = 0;
    auto fail = [&](const std::string& what) {
        if (error->empty()) *error = path + ":" + std::to_string(lineNumber) + ": " + what;
    };
    error->clear();
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string t = Trim(line);
        if (t.empty() || t.rfind("//", 0) == 0) continue;
        std::stringstream words(t);
        std::string first, second;
        words >> first >> second;
        if (second == "DIALOG") {
            templates.emplace_back();
            current = &templates.back();
            current->number = std::atoi(first.c_str());
            std::string rest;
            std::getline(words, rest);
            const std::vector<std::string> box = SplitArguments(rest);
            if (box.size() != 4)
                fail("DIALOG needs x, y, width, height");
            else {
                current->x = std::atoi(box[0].c_str());
                current->y = std::atoi(box[1].c_str());
                current->width = std::atoi(box[2].c_str());
                current->height = std::atoi(box[3].c_str());
            }
            inBody = false;
            continue;
        }
        if (current == nullptr) continue;
        if (!inBody) {
            if (first == "STYLE") {
                current->styles = SplitStyles(t.substr(5));
            } else if (first == "CAPTION") {
                if (!Unquote(Trim(t.substr(7)), &current->caption)) fail("bad CAPTION");
            } else if (first == "FONT") {
                current->font = Trim(t.substr(4));
            } else if (first == "BEGIN") {
                inBody = true;
            }
            continue;
        }
        if (first == "END") {
            current = nullptr;
            inBody = false;
            continue;
        }
        if (first != "CONTROL") {
            fail("only generic CONTROL statements are expected: " + t);
            continue;
        }
        const std::vector<std::string> args = SplitArguments(Trim(t.substr(7)));
        if (args.size() != 8) {
            fail("CONTROL needs 8 arguments: " + t);
            continue;
        }
        TemplateControl c;
        if (!Unquote(args[0], &c.text)) c.text = "#" + args[0];  // a resource number
        c.id = std::atoi(args[1].c_str());
        if (!Unquote(args[2], &c.className)) fail("bad class: " + t);
        c.styles = SplitStyles(args[3]);
        c.x = std::atoi(args[4].c_str());
        c.y = std::atoi(args[5].c_str());
        c.width = std::atoi(args[6].c_str());
        c.height = std::atoi(args[7].c_str());
        current->controls.push_back(c);
    }
    return templates;
}

const DialogTemplate& DriverTemplate(int number) {
    static std::map<int, DialogTemplate> cache;
    auto found = cache.find(number);
    if (found != cache.end()) return found->second;
    std::string error;
    for (const DialogTemplate& t : ReadDialogTemplates(ResourcePath("config_dialog.rc"), &error)) {
        cache[t.number] = t;
    }
    EXPECT_EQ(error, "");
    EXPECT_TRUE(cache.count(number)) << "template " << number << " missing";
    return cache[number];
}

}  // namespace dialogtest
