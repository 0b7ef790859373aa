// The temporary files of the saves in progress, and the lock that holds an
// output folder for one run at a time. A temporary file's name carries its
// process and the place of that process (host, boot, PID namespace), so that a
// later save can tell the leftovers of a process that was killed from the files
// of one that still runs, here or on another node sharing the folder; they are
// removed when the process is stopped by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <functional>
#include <string>

#include "base/process.h"

namespace ldi {

// ".ldi-save-<pid>@<host>@<boot>@<pid namespace>-": how this process's
// temporary file names start.
std::string temporaryPrefix();

// Registers a temporary file to remove should a signal stop the process;
// returns its slot for unregisterTemporaryFile, -1 when every slot is taken
// (the file is then only found by a later removeStaleTemporaryFiles).
int registerTemporaryFile(const std::string& path);
void unregisterTemporaryFile(int slot);

// Installs the signal handlers that remove the registered files and then let
// the signal end the process as it would have. Call once, early.
void removeTemporaryFilesOnSignals();

// Whose a file in an output folder is, by its name.
enum class TemporaryKind {
    notTemporary,   // no temporary of ldi's
    here,           // a process of this host, boot and PID namespace: it can be asked whether it runs
    elsewhere,      // a process on another host or boot, or in another PID namespace
    unplaced,       // an older version's name, with a process id alone or none
};

struct TemporaryOwner {
    TemporaryKind kind = TemporaryKind::notTemporary;
    long pid = 0;
    ProcessPlace place;
};

// The saves' own temporaries (.ldi-save-TAG-...) and the plug-in's logs on
// their way (NAME.log.partial-TAG-...), TAG as processTag writes it, judged
// against `here`.
TemporaryOwner temporaryOwner(const std::string& fileName, const ProcessPlace& here);

using FolderMessage = std::function<void(const std::string&)>;

// Removes the temporary files in `folder` that it can prove dead: those of
// processes of this place that no longer run, and older versions' after a
// day. A temporary of a process elsewhere is kept, as that process may still
// write it; when it is older than a day `report` is told of it.
void removeStaleTemporaryFiles(const std::string& folder, const FolderMessage& report = {});

// An output folder held by one run at a time: a write lock (fcntl, open file
// description lock where the system has it) on the file .ldi-lock in it, which
// file systems that pass fcntl locks between their clients (NFS, Lustre with
// `flock`, GPFS, BeeGFS with global file locks) hold between the nodes of a
// cluster too. The file names its holder (processTag), for the message of a run
// that waits, and is removed as the lock is let go (a run that waited on it
// then locks the next one), so the folder keeps nothing of it. Released when
// the object goes, however the run ends.
class FolderLock {
public:
    FolderLock() = default;
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock();
    // Waits until no other run holds `folder`; `tell` hears whom it waits for,
    // or that the folder's file system takes no locks.
    void hold(const std::string& folder, const FolderMessage& tell);

private:
    void holdFolderItself(const std::string& folder, const FolderMessage& tell);
    int fd_ = -1;
    std::string path_;  // the lock file, removed when let go; empty for a lock on the folder itself
};

}  // namespace ldi
