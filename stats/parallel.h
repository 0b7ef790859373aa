// The threads of the computation: how many, and a way to run one task on several
// of them. Every parallel step of the program gives results that do not depend on
// the number of threads.
#pragma once

#include <functional>

// 0 or negative: every core the process may run on (the default).
void setComputationThreadCount(int count);
// The number in effect, at least 1.
int computationThreadCount();
// Cores the process may run on (its CPU affinity where the system tells it).
int availableCoreCount();

// Runs task(worker) for worker = 0 .. count - 1, worker 0 on the calling thread,
// and returns when every task has returned; returns the number of workers that
// ran. A thread the system refuses only means fewer workers, so a task must share
// its work out dynamically (e.g. from an atomic counter) rather than by worker
// number. Each worker starts with the calling thread's floating-point environment.
int runOnWorkers(int count, const std::function<void(int worker)>& task);
