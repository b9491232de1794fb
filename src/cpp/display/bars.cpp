// The epoch progress bar.
#include "display/display.hpp"

namespace nivra::display {

namespace {

constexpr const char* kFull = "\u2588";
constexpr const char* kLight = "\u2591";

constexpr const char* kEpochBarDoc =
    "\n"
    "    Single-line progress bar that fills 0\u2192100% across FULL training.\n"
    "\n"
    "    Between validation boundaries: shows epoch/total + bar + loss.\n"
    "    At validation boundaries: same line but with metrics, printed as newline.\n"
    "    Uses \\r to overwrite between boundaries.\n"
    "    ";

py::object remainder(py::handle a, py::handle b) {
  PyObject* result = PyNumber_Remainder(a.ptr(), b.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// "label value", the value with four decimals in its grade colour.
py::str metric(const char* label, py::handle value) {
  return cat({label, ns()["_c"](format(value, ".4f"), grade(value, 0.9, 0.7))});
}

void epoch_bar(py::object epoch_arg, py::object total_arg, py::object loss_arg,
               py::object val_loss_arg, py::object oa_arg, py::object miou_arg, py::object aa_arg,
               py::object kappa_arg, py::object interval_arg, py::object prefix_arg) {
  const char* f = "epoch_bar";
  py::int_ epoch = require_int({f, "epoch"}, epoch_arg);
  py::int_ total = require_int({f, "total"}, total_arg);
  py::float_ loss = require_real({f, "loss"}, loss_arg);
  require_real_or_none({f, "val_loss"}, val_loss_arg);  // accepted, not shown
  py::object oa = require_real_or_none({f, "oa"}, oa_arg);
  py::object miou = require_real_or_none({f, "miou"}, miou_arg);
  require_real_or_none({f, "aa"}, aa_arg);  // accepted, not shown
  py::object kappa = require_real_or_none({f, "kappa"}, kappa_arg);
  py::int_ interval = require_int({f, "interval"}, interval_arg);
  py::str prefix = require_str({f, "prefix"}, prefix_arg);
  const Namespace& g = ns();
  py::object c = g["_c"];

  // Python float arithmetic throughout, so truncation matches (29/100*100 -> 28).
  py::object pct = epoch / total;
  py::int_ filled = int_of(g["BAR_WIDTH"] * pct);
  py::str bar = cat({repeat(kFull, filled), repeat(kLight, g["BAR_WIDTH"] - filled)});
  py::int_ pct_int = int_of(pct * py::int_(100));
  py::object bar_colour = compare(pct, Py_GE, py::float_(0.5)) ? g["GREEN"] : g["YELLOW"];

  py::list segments;
  segments.append(cat({prefix, g["BOLD"], "Epoch ", format(epoch, "3d"), "/", total, g["RESET"]}));
  segments.append(cat({c(bar, bar_colour), " ", c(cat({format(pct_int, "3d"), "%"}), g["GRAY"])}));
  segments.append(cat({"Loss ", c(format(loss, ".4f"), g["CYAN"])}));

  bool at_boundary = remainder(epoch, interval).equal(py::int_(0)) || epoch.equal(total);
  if (at_boundary) {
    if (!is_none(oa)) segments.append(metric("OA ", oa));
    if (!is_none(miou)) segments.append(metric("mIoU ", miou));
    if (!is_none(kappa)) segments.append(metric("\u03ba ", kappa));
  }
  py::str line = cat({"\r", py::str(" | ").attr("join")(segments)});

  // Between boundaries the line stays open, to be overwritten by the next call.
  if (at_boundary) {
    print_line(g, line);
  } else {
    print_line(g, line, "", true);
  }
}

}  // namespace

void register_epoch_bar(py::module_& m) {
  def_function(m, "epoch_bar",
               "(epoch, total, loss, val_loss=None, oa=None, miou=None, aa=None, kappa=None, "
               "interval=20, prefix='  ')",
               kEpochBarDoc, &epoch_bar, py::arg("epoch"), py::arg("total"), py::arg("loss"),
               py::arg("val_loss") = py::none(), py::arg("oa") = py::none(),
               py::arg("miou") = py::none(), py::arg("aa") = py::none(),
               py::arg("kappa") = py::none(), py::arg("interval") = 20, py::arg("prefix") = "  ");
}

}  // namespace nivra::display
