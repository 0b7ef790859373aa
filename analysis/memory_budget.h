// How much memory the runs of an analysis may take when they are held whole
// instead of spilled to a temporary file: given by the user (--memory-budget),
// or what the machine has to spare when the analysis starts.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/nifti_source.h"

namespace ldi {

// A size as a user writes it: plain bytes ("1048576"), or a number with a
// binary unit K, M, G or T, optionally followed by "B" or "iB" ("800M",
// "1.5G", "4GiB"). False with a message quoting the text.
bool parseMemorySize(const std::string& text, int64_t& bytes, std::string& problem);

// The memory to spare for runs from the text of /proc/meminfo: MemAvailable
// less what the rest of an analysis needs beside its runs (the maps, the null
// draws' volumes, the engine's slices) and what other programs may still take,
// a quarter of it and at least 512 MiB. With a cgroup limit (the text of
// memory.max and memory.current, both "" when there is none) the room left
// under it counts when it is smaller. -1 when MemAvailable is missing.
int64_t memoryToSpare(const std::string& meminfo, const std::string& cgroupMax = std::string(),
                      const std::string& cgroupCurrent = std::string());

// The same for this machine and process now; the former fixed 160 MiB when
// /proc/meminfo cannot be read.
int64_t machineMemoryToSpare();

// `budgets` with an automatic in-memory budget replaced by the machine's
// memory to spare.
SourceBudgets resolvedBudgets(const SourceBudgets& budgets);

}  // namespace ldi
