#pragma once

#include <cstdint>

namespace kelvra {

// Ends a forked session child with `code`. Called while the child still holds its copy of the
// parent's objects: they are dropped with the process instead of being destroyed, so nothing of
// the parent's clean-up (its gateway, log files, exit handlers, static destructors) runs twice
// and no output the parent had buffered is written again. Only standard output, where the
// child's own log goes, is flushed.
[[noreturn]] void end_child_process(int32_t code);

}  // namespace kelvra
