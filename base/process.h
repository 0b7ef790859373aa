// The running process, as the names of temporary files and folder locks need it.
#pragma once

#include <string>

namespace ldi {

// The process id: temporary files carry it, so that a later run can tell the
// leftovers of a process that was killed from the files of one still writing.
long currentProcessId();

// Where a process id means something: the host, its boot (a process id is
// reused after a restart) and the PID namespace (a container, or a job's own,
// numbers its processes apart from the host's). Runs on other nodes of a
// cluster or in other containers may write into the same shared folder; one
// whose place differs from this process's cannot be asked whether it runs.
struct ProcessPlace {
    std::string host;           // the host name, with every character but letters, digits, '.' and '_' as '_'
    std::string boot;           // the first 8 characters of /proc/sys/kernel/random/boot_id ("0" where none)
    std::string pidNamespace;   // the inode of /proc/self/ns/pid ("0" where none)
};

ProcessPlace currentProcessPlace();

// "<pid>@<host>@<boot>@<pid namespace>": the process in file names; no '-'
// (the host's are made '_'), so a name can carry it between dashes.
std::string processTag(long pid, const ProcessPlace& place);
std::string currentProcessTag();

}  // namespace ldi
