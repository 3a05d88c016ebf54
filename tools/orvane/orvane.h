/* ORVANE: the trace library that the Vexlor driver loads by name ("ORVANE.DLL" on Windows,
 * liborvane.so on Linux) when it is installed beside the driver or on the library search path.
 *
 * The driver hands it finished trace lines together with a channel number (1 thread and
 * library calls, 2 socket set-up and errors, 3 requests sent). This implementation appends them
 * to a text file:
 *
 *   - StartTraceOutput opens the file named by the environment variable ORVANE_TRACE_FILE (or
 *     by an earlier SetTraceIDFile call) for appending, creating it when needed, and returns 1.
 *     Without a file name, or when the file cannot be opened, it returns 0 and tracing stays
 *     off: the driver then composes no lines at all.
 *   - Orvane appends one line per call. Calls may come from any number of threads at once; a
 *     lock around each line keeps lines whole and never interleaved.
 *   - StopTraceOutput closes the file; later Orvane calls write nothing.
 *
 * Line format (one line per Orvane call, LF line end; CRLF on Windows):
 *
 *   YYYY-MM-DD HH:MM:SS.mmm T<thread id> C<channel> <text>
 *
 *   e.g. "2024-03-05 14:02:07.123 T4711 C3 Ret=15; send (5, GET /input?PW=&, 15, 0)"
 *
 * The time is local time with milliseconds, the thread id is the operating system's id of the
 * calling thread, the channel is written in signed decimal. In the text, bytes below 32 and the
 * byte 127 are written as \xHH (two upper-case hexadecimal digits) and a backslash as \\, so
 * that every call yields exactly one line; all other bytes, those above 127 included, are
 * written unchanged.
 */
#ifndef ORVANE_H
#define ORVANE_H

#ifdef _WIN32
#ifdef ORVANE_BUILDING
#define ORVANE_API __declspec(dllexport)
#else
#define ORVANE_API __declspec(dllimport)
#endif
#define ORVANE_CALL __cdecl
#else
#define ORVANE_API __attribute__((visibility("default")))
#define ORVANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Channels 0 to ORVANE_CHANNELS - 1 can be configured with SetTraceIDColor and
 * SetTraceIDMedium; lines of other channels are always written to the file. */
#define ORVANE_CHANNELS 64

/* Media for SetTraceIDMedium. */
#define ORVANE_MEDIUM_NONE 0 /* the channel's lines are dropped */
#define ORVANE_MEDIUM_FILE 1 /* the channel's lines go to the trace file (the default) */

/* Appends one line for the channel. text is a NUL-terminated string (null counts as empty),
 * only read during the call. Returns 1 when the line was written, 0 when tracing is off, the
 * channel's medium is ORVANE_MEDIUM_NONE or the write failed. */
ORVANE_API int ORVANE_CALL Orvane(int channel, const char* text);

/* Records a display colour (0x00RRGGBB) for the channel. The file medium shows no colours;
 * the value is kept so that callers written for a display back end work unchanged. Returns 1,
 * or 0 for a channel outside 0 .. ORVANE_CHANNELS - 1. */
ORVANE_API int ORVANE_CALL SetTraceIDColor(int channel, unsigned int rgb);

/* Chooses where the channel's lines go: ORVANE_MEDIUM_NONE or ORVANE_MEDIUM_FILE. Returns 1,
 * or 0 for a channel outside 0 .. ORVANE_CHANNELS - 1 or an unknown medium. */
ORVANE_API int ORVANE_CALL SetTraceIDMedium(int channel, int medium);

/* Names the trace file that the next StartTraceOutput opens, in place of ORVANE_TRACE_FILE;
 * null or "" returns to the environment variable. It does not affect a file already open.
 * Returns 1, or 0 when the name is too long (4095 bytes at most). */
ORVANE_API int ORVANE_CALL SetTraceIDFile(const char* path);

/* Opens the trace file for appending. Returns 1 when trace output is on (also when it already
 * was), 0 when no file is named or it cannot be opened. */
ORVANE_API int ORVANE_CALL StartTraceOutput(void);

/* Closes the trace file. Safe to call when output is off and while other threads call Orvane:
 * a line is either written whole before the file closes or not at all. */
ORVANE_API void ORVANE_CALL StopTraceOutput(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_H */
