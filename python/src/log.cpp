// The library's messages in Python's logging.
//
// In a C++ program the library writes its numbered, tagged lines to standard output (and the journal) as the
// SPDLOG_* variables say. A Python script's standard output is its own, so the module gives the logger a
// single sink of its own before the first message: each message becomes a record of the Python logger named
// after the module, at the matching level, with the C++ call site as its file, line and function, and its
// body alone as the text (no running number, level tag or colour codes). Python's handlers and levels then
// decide what is shown, as for every other library.
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include <atomic>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "nimbrel/logger.hpp"

namespace nimbrel_python {
namespace {

namespace py = pybind11;

// Cleared at interpreter exit: later messages (from static destructors, say) find no Python to go to.
std::atomic<bool> pythonAlive{false};
// The Python logger, held for the life of the process on purpose: the sink outlives the interpreter, and a
// reference dropped after its end would crash.
PyObject* pythonLogger = nullptr;

// The message body: the text without its running number and level tag ("  3 [INFO] ") and without the
// escape sequences (ESC [ ... letter) that colour it on a terminal, trimmed.
std::string plainBody(spdlog::string_view_t text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t tagEnd = text.size() > 4 && text[3] == ' ' && text[4] == '['
                                 ? std::string_view(text.data(), text.size()).find("] ", 4)
                                 : std::string_view::npos;
  if (tagEnd != std::string_view::npos) i = tagEnd + 2;
  while (i < text.size()) {
    if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
      i += 2;
      while (i < text.size() && !(text[i] >= '@' && text[i] <= '~')) ++i;
      ++i;
      continue;
    }
    out += text[i++];
  }
  const std::size_t first = out.find_first_not_of(" \n");
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(" \n") - first + 1);
}

int pythonLevel(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
      return 5;
    case spdlog::level::debug:
      return 10;
    case spdlog::level::info:
      return 20;
    case spdlog::level::warn:
      return 30;
    case spdlog::level::err:
      return 40;
    default:
      return 50;
  }
}

// Serialised by the GIL, which every message takes: a mutex of its own could deadlock against a thread that
// logs while holding the GIL.
class PythonSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!pythonAlive.load() || !Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    try {
      const auto logger = py::reinterpret_borrow<py::object>(pythonLogger);
      const int level = pythonLevel(msg.level);
      if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
      const py::object record = logger.attr("makeRecord")(
          logger.attr("name"), level, msg.source.filename ? msg.source.filename : "", msg.source.line,
          plainBody(msg.payload), py::tuple(), py::none(), msg.source.funcname ? msg.source.funcname : "");
      logger.attr("handle")(record);
    } catch (py::error_already_set& e) {
      // A failing handler must not take the library's call down with it; Python reports it as unraisable.
      e.discard_as_unraisable("nimbrel_arm_util log record");
    }
  }
  void flush_() override {}
};

}  // namespace

void routeLog(py::module_& m) {
  const py::object logger = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));
  pythonLogger = logger.inc_ref().ptr();
  pythonAlive = true;
  py::module_::import("atexit").attr("register")(py::cpp_function([] { pythonAlive = false; }));
  // Every level reaches the sink; the Python logger's level filters. A process whose library logged before
  // the import keeps the outputs it has.
  nimbrel::Logger::UseSinks({std::make_shared<PythonSink>()}, spdlog::level::trace);
}

}  // namespace nimbrel_python
