// The running process, as the names of temporary files need it.
#pragma once

namespace ldi {

// The process id: temporary files carry it, so that a later run can tell the
// leftovers of a process that was killed from the files of one still writing.
long currentProcessId();

}  // namespace ldi
