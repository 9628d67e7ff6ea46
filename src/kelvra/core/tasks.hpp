#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace kelvra {

// A background worker with an owned thread and a running flag. The gateway registers none;
// the registry exists for programs of the same family that do.
class TaskBase {
public:
    virtual ~TaskBase() = default;

    std::atomic<bool> running{true};
    std::unique_ptr<std::thread> thread;
};

// Process-wide registry of tasks (not owned).
extern std::vector<TaskBase*> _tasks;

// Clears every task's running flag, joins and deletes each thread, then empties the registry.
void stop_all_tasks();
// Joins and deletes each thread without clearing the flags, then empties the registry.
void wait_all_tasks();

}  // namespace kelvra
