// The temporary files of the saves in progress. Their names carry the process
// id, so that a later save can tell the leftovers of a process that was killed
// from the files of one that still runs, and they are removed when the
// process is stopped by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <string>

namespace ldi {

// ".ldi-save-<pid>-": how this process's temporary file names start.
std::string temporaryPrefix();

// Registers a temporary file to remove should a signal stop the process;
// returns its slot for unregisterTemporaryFile, -1 when every slot is taken
// (the file is then only found by a later removeStaleTemporaryFiles).
int registerTemporaryFile(const std::string& path);
void unregisterTemporaryFile(int slot);

// Installs the signal handlers that remove the registered files and then let
// the signal end the process as it would have. Call once, early.
void removeTemporaryFilesOnSignals();

// Removes the temporary files in `folder` that processes no longer running
// left behind: the saves' own and the plug-in's logs on their way
// (NAME.log.partial-PID-...), and those of older versions, without a process
// id, after a day.
void removeStaleTemporaryFiles(const std::string& folder);

}  // namespace ldi
