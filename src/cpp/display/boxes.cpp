// Framed blocks: the configuration box, the results box, the per-class IoU table.
#include <iterator>

#include "display/display.hpp"

namespace nivra::display {

namespace {

constexpr const char* kHeavyRule = "\u2550";
constexpr const char* kRule = "\u2500";
constexpr const char* kFull = "\u2588";
constexpr const char* kLight = "\u2591";

constexpr const char* kResultsBoxDoc =
    "\n"
    "    Print a styled results box.\n"
    "    metrics: dict with keys like 'OA', 'mIoU', 'Dice', 'Precision', 'Recall', 'AA', 'kappa'\n"
    "    ";

void print_config_box(py::object title_arg, py::object items_arg) {
  py::str title = require_str({"print_config_box", "title"}, title_arg);
  py::list items = require_list({"print_config_box", "items"}, items_arg);
  const Namespace& g = ns();
  py::str rule = repeat(kHeavyRule, 60);

  print_line(g, cat({"\n", g["BOLD"], rule, g["RESET"]}));
  print_line(g, cat({"  ", g["BOLD"], g["CYAN"], title, g["RESET"]}));
  for (py::handle item : py::iter(items)) {  // Python iteration: safe if printing mutates
    py::tuple pair = unpack(item, 2);
    print_line(g, cat({"  ", format(pair[0], "<14"), ": ", format(pair[1], "")}));
  }
  print_line(g, cat({g["BOLD"], rule, g["RESET"]}));
}

// Thresholds of the results box per metric name; the rest are shown in WHITE.
struct Rating {
  const char* key;
  double upper;
  std::optional<double> lower;  // none: never RED
};
constexpr Rating kRatings[] = {
    {"OA", 0.9, 0.75},   {"mIoU", 0.65, 0.45},       {"AA", 0.65, 0.45},
    {"kappa", 0.85, 0.65}, {"Dice", 0.7, std::nullopt}, {"Precision", 0.7, std::nullopt},
    {"Recall", 0.7, std::nullopt},
};

// The rating of `key`: looked up as a dict key, so matching is exact.
py::object rate(const py::dict& rules, py::handle key, py::handle value) {
  PyObject* index = PyDict_GetItemWithError(rules.ptr(), key.ptr());
  if (index == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return ns()["WHITE"];
  }
  const Rating& rating = kRatings[PyLong_AsSsize_t(index)];
  return grade(value, rating.upper, rating.lower);
}

void print_results_box(py::object metrics_arg, py::object routing_arg) {
  py::dict metrics = require_dict({"print_results_box", "metrics"}, metrics_arg);
  py::object routing = require_str_or_none({"print_results_box", "routing"}, routing_arg);
  const Namespace& g = ns();
  py::str rule = repeat(kRule, 42);

  py::str title = truthy(routing) ? cat({"Test Results [", routing, "]"}) : py::str("Test Results");
  print_line(g, cat({"\n", g["BOLD"], g["GREEN"], rule, g["RESET"]}));
  print_line(g, cat({g["BOLD"], g["GREEN"], "  ", title, g["RESET"]}));
  print_line(g, cat({g["BOLD"], g["GREEN"], rule, g["RESET"]}));

  py::dict rules;
  for (size_t i = 0; i < std::size(kRatings); ++i) rules[py::str(kRatings[i].key)] = py::int_(i);
  py::object c = g["_c"];
  for (py::handle item : py::iter(metrics.attr("items")())) {
    py::tuple pair = unpack(item, 2);
    py::object key = pair[0], val = pair[1];
    py::object colour = rate(rules, key, val);
    py::object bar_len = int_of(val * py::int_(20));
    py::str bar = cat({repeat(kFull, bar_len), repeat(kLight, py::int_(20) - bar_len)});
    print_line(g, cat({"  ", format(key, "<12"), " ", c(format(val, ".4f"), colour, g["BOLD"]),
                       "  ", c(bar, colour)}));
  }
  print_line(g, cat({g["BOLD"], g["GREEN"], rule, g["RESET"], "\n"}));
}

void print_per_class_iou(py::object class_ious_arg, py::object pixel_counts_arg) {
  py::dict class_ious = require_dict({"print_per_class_iou", "class_ious"}, class_ious_arg);
  py::object pixel_counts =
      require_dict_or_none({"print_per_class_iou", "pixel_counts"}, pixel_counts_arg);
  const Namespace& g = ns();
  py::object c = g["_c"];

  print_line(g, cat({"\n", g["BOLD"], "  Per-class IoU:", g["RESET"]}));
  for (py::handle item : py::iter(class_ious.attr("items")())) {
    py::tuple pair = unpack(item, 2);
    py::object cls = pair[0], iou = pair[1];
    py::object colour = grade(iou, 0.8, 0.5);
    py::str bar = repeat(kFull, int_of(iou * py::int_(20)));
    if (is_none(pixel_counts)) {
      print_line(g, cat({"  Class ", format(cls, "2d"), "  ", c(format(iou, ".4f"), colour), "  ",
                         c(bar, colour)}));
      continue;
    }
    py::object px = pixel_counts.attr("get")(cls, 0);
    py::str warning = compare(px, Py_LT, py::int_(20))
                          ? cat({"  ", g["YELLOW"], "\u26a0 few pixels", g["RESET"]})
                          : py::str("");
    // The padding counts the bar's colour codes too, as the column always has.
    print_line(g, cat({"  Class ", format(cls, "2d"), "  ", c(format(iou, ".4f"), colour), "  ",
                       format(c(bar, colour), "<20s"), "  ", g["GRAY"], "(", format(px, ">5d"),
                       " px)", g["RESET"], warning}));
  }
  print_line(g, py::str(""));
}

}  // namespace

void register_config_box(py::module_& m) {
  def_function(m, "print_config_box", "(title, items)", "Print a styled \u2550\u2550\u2550 config box.",
               &print_config_box, py::arg("title"), py::arg("items"));
}

void register_results_box(py::module_& m) {
  def_function(m, "print_results_box", "(metrics, routing=None)", kResultsBoxDoc,
               &print_results_box, py::arg("metrics"), py::arg("routing") = py::none());
}

void register_per_class_iou(py::module_& m) {
  def_function(m, "print_per_class_iou", "(class_ious, pixel_counts=None)",
               "Print per-class IoU with colour coding.", &print_per_class_iou,
               py::arg("class_ious"), py::arg("pixel_counts") = py::none());
}

}  // namespace nivra::display
