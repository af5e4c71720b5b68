#pragma once
// Running many independent tasks (requests, compressions) a few at a time.

#include <cstddef>
#include <functional>

namespace vorn {

// (task index, worker slot in [0, workers)); false when the task failed.
using TaskFn = std::function<bool(size_t index, int worker)>;

// (index of a task that succeeded).
using TaskDoneFn = std::function<void(size_t index)>;

// Runs task for every index in [0, count) on up to `workers` threads, the
// calling thread among them, starting indices in ascending order. After a
// task fails no further index is started; tasks already running finish.
// done, when given, is called for every task that succeeded, in ascending
// index order, as soon as every lower index has finished; the calls never
// overlap. Returns the lowest index whose task failed, or count when none
// did. With one worker everything runs on the calling thread, in order, each
// done call right after its task.
size_t runTasks(size_t count, int workers, const TaskFn& task, const TaskDoneFn& done = {});

}  // namespace vorn
