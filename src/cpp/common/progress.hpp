// A one-line progress indicator on standard error for long byte-counting
// work: shown only when sys.stderr is a terminal and the work has run for
// the namespace's `_PROGRESS_AFTER_SECONDS` (about a second), refreshed a
// few times a second, erased when done.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "common/pyutil.hpp"

namespace nivra {

class Progress {
 public:
  // `label` is a Python str (a file name, say); the GIL must be held for
  // every call.
  Progress(const Namespace& ns, py::object label, std::uint64_t total_bytes);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void advance(std::uint64_t bytes);
  // Erases the line, if one was shown.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void show(double seconds);
  void write(const py::str& text);

  const Namespace& ns_;
  py::object label_;
  std::uint64_t total_, done_ = 0;
  Clock::time_point start_ = Clock::now(), shown_at_{};
  double quiet_seconds_;
  bool decided_ = false, on_terminal_ = false;
  Py_ssize_t width_ = 0;  // of the line on screen
};

}  // namespace nivra
