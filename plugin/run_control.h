// One run of the plug-in from the user's command to the closing message, the
// status values every step of a run returns, and the two ways of writing
// into the host's log pane.
#pragma once

#include <string>

// Status of a run's operations. The first status other than statusSuccess
// ends the run.
constexpr int statusCancelled = 0;       // the user cancelled a dialog
constexpr int statusSuccess = 1;
constexpr int statusInvalidChoices = 2;  // the user's choices cannot be computed
constexpr int statusTerminalError = 3;   // a file or a host resource cannot be used

// Prefix of progress lines, which their writers format themselves and hand
// to syLogText directly (for example "%s\n%s VOI: <b>%s</b>").
constexpr const char* progressPrefix = "// LDI>";

// Prefix of every line written by logLine.
constexpr const char* logLinePrefix = "// LDI> ";

// The text logLine hands to the host: the prefix, then the text with every
// newline followed by the prefix again.
std::string formatLogLine(const std::string& text);

// Writes one message into the host's log pane in a single syLogText call;
// every line of it starts with "// LDI> ". An empty text gives a line holding
// only the prefix; a trailing newline gives a last line holding only the prefix.
void logLine(const std::string& text);

// The closing banner: three syLogText calls.
void logEndBanner();

// printf-style formatting into a string of whatever length it needs, for
// texts that would otherwise be formed in fixed-size buffers.
std::string formatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
