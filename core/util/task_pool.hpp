#pragma once
// Running many independent tasks (requests, compressions) a few at a time.

#include <cstddef>
#include <functional>

namespace vorn {

// (task index, worker slot in [0, workers)); false when the task failed.
using TaskFn = std::function<bool(size_t index, int worker)>;

// Runs task for every index in [0, count) on up to `workers` threads, the
// calling thread among them, starting indices in ascending order. After a
// task fails no further index is started; tasks already running finish.
// Returns the lowest index whose task failed, or count when none did. With
// one worker everything runs on the calling thread, in order.
size_t runTasks(size_t count, int workers, const TaskFn& task);

}  // namespace vorn
