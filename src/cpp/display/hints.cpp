// The closing block of a training run: where the model went, what to run next.
#include "display/display.hpp"

namespace nivra::display {

namespace {

// Characters a shell word may hold unquoted: ASCII letters and digits and _@%+=:,./-
bool shell_safe(Py_UCS4 ch) {
  if (ch >= 128) return false;
  if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
  for (const char* p = "_@%+=:,./-"; *p != '\0'; ++p) {
    if (ch == static_cast<Py_UCS4>(*p)) return true;
  }
  return false;
}

// Quotes one word for a POSIX shell by the rules of shlex.quote: an empty word
// is '', a word of safe characters is left alone, anything else goes in single
// quotes with each embedded ' written as '"'"'.
py::str shell_quote(const py::str& word) {
  Py_ssize_t length = PyUnicode_GetLength(word.ptr());
  if (length < 0) throw py::error_already_set();
  if (length == 0) return py::str("''");
  bool safe = true;
  for (Py_ssize_t i = 0; i < length && safe; ++i) {
    Py_UCS4 ch = PyUnicode_ReadChar(word.ptr(), i);
    if (ch == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) throw py::error_already_set();
    safe = shell_safe(ch);
  }
  if (safe) return word;
  return cat({"'", word.attr("replace")("'", "'\"'\"'"), "'"});
}

void print_save_and_next(py::object out_dir_arg, py::object save_file_arg,
                         py::object data_path_arg, py::object gt_path_arg,
                         py::object train_ratio_arg, py::object val_ratio_arg) {
  const char* f = "print_save_and_next";
  py::str out_dir = require_str({f, "out_dir"}, out_dir_arg);
  py::str save_file = require_str({f, "save_file"}, save_file_arg);
  py::str data_path = require_str({f, "data_path"}, data_path_arg);
  py::str gt_path = require_str({f, "gt_path"}, gt_path_arg);
  require_real({f, "train_ratio"}, train_ratio_arg);  // accepted, not shown
  require_real({f, "val_ratio"}, val_ratio_arg);      // accepted, not shown
  const Namespace& g = ns();

  py::str model_path = cat({out_dir, "/", save_file});
  // The suggested commands must paste into a shell as they stand.
  py::str data_word = shell_quote(data_path);
  py::str gt_word = shell_quote(gt_path);
  py::str model_word = shell_quote(model_path);
  py::str out_word = shell_quote(out_dir);
  auto print_inputs = [&]() {
    print_line(g, cat({"    --data  ", data_word, " \\"}));
    print_line(g, cat({"    --gt    ", gt_word, " \\"}));
    print_line(g, cat({"    --model ", model_word, " \\"}));
  };

  print_line(g, cat({"\n", g["GREEN"], g["BOLD"], "  Saved \u2192", g["RESET"], " ", model_path}));
  print_line(g, cat({"\n", g["BOLD"], g["CYAN"], "  What's next?", g["RESET"]}));

  print_line(g, cat({"\n", g["GRAY"], "  # Evaluate all routing modes:", g["RESET"]}));
  print_line(g, py::str("  nivra predict \\"));
  print_inputs();
  print_line(g, cat({"    --routing all --out-dir ", out_word}));

  print_line(g, cat({"\n", g["GRAY"], "  # Visualize predictions:", g["RESET"]}));
  print_line(g, py::str("  nivra visualize \\"));
  print_inputs();
  print_line(g, cat({"    --out-dir ", out_word, "\n"}));
}

}  // namespace

void register_save_and_next(py::module_& m) {
  def_function(m, "print_save_and_next",
               "(out_dir, save_file, data_path, gt_path, train_ratio, val_ratio)",
               "Print save confirmation and suggest next commands.", &print_save_and_next,
               py::arg("out_dir"), py::arg("save_file"), py::arg("data_path"), py::arg("gt_path"),
               py::arg("train_ratio"), py::arg("val_ratio"));
}

}  // namespace nivra::display
