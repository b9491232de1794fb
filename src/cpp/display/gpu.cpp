// The GPU status line, read from nvidia-smi.
#include "display/display.hpp"

namespace nivra::display {

namespace {

py::str gpu_stats() {
  try {
    py::object subprocess = ns()["subprocess"];
    py::object check_output = subprocess.attr("check_output");
    py::list command;
    command.append("nvidia-smi");
    command.append("--query-gpu=temperature.gpu,utilization.gpu,memory.used,memory.total");
    command.append("--format=csv,noheader,nounits");
    py::object out = check_output(command, py::arg("timeout") = 5,
                                  py::arg("stderr") = subprocess.attr("DEVNULL"));

    py::list pieces;
    for (py::handle piece : py::iter(out.attr("decode")().attr("strip")().attr("split")(","))) {
      pieces.append(piece.attr("strip")());
    }
    // One line per GPU: with two or more the split gives too many pieces.
    py::tuple fields = unpack(pieces, 4);
    py::object temp = fields[0], util = fields[1], used = fields[2], total = fields[3];
    return cat({"GPU ", temp, "\u00b0C | ", used, " / ", total, " MB | ", util, "% util"});
  } catch (py::error_already_set& error) {
    // Ordinary failures give no line; interrupts and exit requests propagate.
    if (error.matches(PyExc_Exception)) return py::str("");
    throw;
  }
}

}  // namespace

void register_gpu_stats(py::module_& m) {
  def_function(m, "gpu_stats", "()", "Get real GPU stats (temp, utilization, VRAM) via nvidia-smi.",
               &gpu_stats);
}

}  // namespace nivra::display
