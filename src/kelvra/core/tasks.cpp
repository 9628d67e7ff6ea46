#include "kelvra/core/tasks.hpp"

namespace kelvra {

std::vector<TaskBase*> _tasks;

namespace {
void join_all() {
    for (TaskBase* task : _tasks) {
        if (task->thread && task->thread->joinable()) task->thread->join();
        task->thread.reset();
    }
    _tasks.clear();
}
}  // namespace

void stop_all_tasks() {
    for (TaskBase* task : _tasks) task->running = false;
    join_all();
}

void wait_all_tasks() {
    join_all();
}

}  // namespace kelvra
