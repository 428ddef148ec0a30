// Detached worker threads.
#pragma once

#include <functional>
#include <string>

namespace sorv {

// Starts fn on a new detached thread named `name` (at most 15 characters are kept).
// Exceptions escaping fn are caught and logged to the console.
void startThread(const std::string& name, std::function<void()> fn);

// The calling thread's name for console lines ("main" for the main thread).
std::string currentThreadName();

}  // namespace sorv
