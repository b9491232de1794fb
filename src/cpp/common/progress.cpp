#include "common/progress.hpp"

namespace nivra {

namespace {
constexpr double kRefreshSeconds = 0.2;

py::str megabytes(double bytes) { return format(py::float_(bytes / 1048576.0), ".1f"); }
}  // namespace

Progress::Progress(const Namespace& ns, py::object label, std::uint64_t total_bytes)
    : ns_(ns),
      label_(std::move(label)),
      total_(total_bytes),
      quiet_seconds_(ns["_PROGRESS_AFTER_SECONDS"].cast<double>()) {}

Progress::~Progress() {
  if (width_ == 0) return;
  try {
    finish();
  } catch (py::error_already_set&) {
    // unwinding from another error already; that one is reported
  }
}

void Progress::advance(std::uint64_t bytes) {
  done_ += bytes;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  if (seconds < quiet_seconds_) return;  // short work shows nothing
  if (!decided_) {
    decided_ = true;
    on_terminal_ = truthy(ns_["sys"].attr("stderr").attr("isatty")());
  }
  if (!on_terminal_ || std::chrono::duration<double>(Clock::now() - shown_at_).count() < kRefreshSeconds) return;
  show(seconds);
}

void Progress::show(double seconds) {
  shown_at_ = Clock::now();
  py::str line = concat("  ", label_, ": ", megabytes(double(done_)), " / ", megabytes(double(total_)), " MB  (",
                        megabytes(double(done_) / seconds), " MB/s)");
  const Py_ssize_t length = PyUnicode_GET_LENGTH(line.ptr());
  write(concat("\r", line, repeat(" ", width_ - length)));
  width_ = std::max(width_, length);
}

void Progress::finish() {
  if (width_ == 0) return;
  const Py_ssize_t width = width_;
  width_ = 0;
  write(concat("\r", repeat(" ", width), "\r"));
}

void Progress::write(const py::str& text) {
  ns_["print"](text, py::arg("end") = "", py::arg("file") = ns_["sys"].attr("stderr"), py::arg("flush") = true);
}

}  // namespace nivra
