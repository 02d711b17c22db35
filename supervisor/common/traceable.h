// Base of every object that writes to the launcher's trace. A record is built from pieces
// (texts, numbers, paths) only when the tracer accepts its level, so disabled traces cost
// one comparison.
#pragma once

#include "ivo/tracer.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace sov::supervisor {

using Path = boost::filesystem::path;
using TraceLevel = ivo::ITracer::TraceLevel;
constexpr TraceLevel kTraceError = ivo::ITracer::kError;
constexpr TraceLevel kTraceWarning = ivo::ITracer::kWarning;
constexpr TraceLevel kTraceImportant = ivo::ITracer::kImportant;
constexpr TraceLevel kTraceDebug = ivo::ITracer::kDebug;

namespace trace_detail {

inline void Append(std::string& out, std::string_view piece) {
  out.append(piece);
}
inline void Append(std::string& out, const char* piece) {
  out.append(piece ? piece : "");
}
inline void Append(std::string& out, const std::string& piece) {
  out.append(piece);
}
inline void Append(std::string& out, const Path& piece) {
  out.append(piece.string());
}
inline void Append(std::string& out, char piece) {
  out.push_back(piece);
}
inline void Append(std::string& out, bool piece) {
  out.push_back(piece ? '1' : '0');
}
template <typename Number, typename = std::enable_if_t<std::is_arithmetic_v<Number>>>
void Append(std::string& out, Number piece) {
  out.append(std::to_string(piece));
}

}  // namespace trace_detail

// Joins the pieces with nothing between them.
template <typename... Pieces>
std::string Concat(const Pieces&... pieces) {
  std::string out;
  (trace_detail::Append(out, pieces), ...);
  return out;
}

class Traceable {
 public:
  explicit Traceable(ivo::TracerPtr tracer = {}) : tracer_(std::move(tracer)) {}

  const ivo::TracerPtr& Tracer() const { return tracer_; }
  bool IsTraceEnabled(TraceLevel level) const { return ivo::IsEnabled(tracer_.get(), level); }

  // Writes "<operation>: <pieces...>".
  template <typename... Pieces>
  void Trace(TraceLevel level, std::string_view operation, const Pieces&... pieces) const {
    if (IsTraceEnabled(level)) {
      tracer_->Trace(level, Concat(operation, ": ", pieces...));
    }
  }

  // Writes "<operation>() <pieces...>", the form used on entry to an operation.
  template <typename... Pieces>
  void TraceEntry(TraceLevel level, std::string_view operation, const Pieces&... pieces) const {
    if (IsTraceEnabled(level)) {
      tracer_->Trace(level, Concat(operation, "() ", pieces...));
    }
  }

  // Writes "<operation>() <- <value>", the form used for the result of a query.
  template <typename Value>
  void TraceResult(std::string_view operation, const Value& value) const {
    if (IsTraceEnabled(kTraceDebug)) {
      tracer_->Trace(kTraceDebug, Concat(operation, "() <- ", value));
    }
  }

 protected:
  void SetTracer(ivo::TracerPtr tracer) { tracer_ = std::move(tracer); }

 private:
  ivo::TracerPtr tracer_;
};

}  // namespace sov::supervisor
