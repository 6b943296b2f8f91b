#include "base/search/framework.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace quendral {

// ---------------------------------------------------------------- result and statistics

std::vector<Action> extract_path(const State& state) {
  std::vector<Action> plan;
  for (const PathEntry& entry : PersistentList<PathEntry>::iter_rev(state.path)) plan.push_back(entry.action);
  std::reverse(plan.begin(), plan.end());
  return plan;
}

SearchResult goal_result(const State& goal, std::uint64_t expanded) {
  SearchResult result;
  result.plan = extract_path(goal);
  result.statistics.emplace(kExpandedStates, std::to_string(expanded));
  result.statistics.emplace(kGoalDepth, format_f64(goal.g));
  return result;
}

SearchResult no_plan_result(std::uint64_t expanded) {
  SearchResult result;
  result.statistics.emplace(kExpandedStates, std::to_string(expanded));
  return result;
}

// ---------------------------------------------------------------- printed forms

namespace {

// The forms of the values that are not numbers, shared by every printed form here.
const char* non_finite_form(double value) noexcept {
  if (std::isnan(value)) return "NaN";
  return value > 0 ? "inf" : "-inf";
}

// The shortest digits that read back as the same value, written out in positional notation
// (never an exponent): "3", "0.0000001", "10000000000000000". A fixed conversion of its own would
// pick the shortest text instead, which for large values can be the exact binary value's digits
// ("999999986991104" for the float nearest 1e15) rather than the shortest digits padded with
// zeros.
template <class F>
std::string positional(F value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  QUENDRAL_CHECK(error == std::errc(), "a number did not fit its printed form");
  const std::string text(buffer, end);
  const std::size_t e = text.find('e');
  const int exponent = std::stoi(text.substr(e + 1));
  std::string out;
  std::string digits;
  for (char c : std::string_view(text).substr(0, e)) {
    if (c == '-') {
      out += '-';
    } else if (c != '.') {
      digits += c;
    }
  }
  // The value is 0.digits × 10^(exponent + 1).
  const long point = static_cast<long>(exponent) + 1;
  const auto count = static_cast<long>(digits.size());
  if (point <= 0) {
    out.append("0.").append(static_cast<std::size_t>(-point), '0').append(digits);
  } else if (point >= count) {
    out.append(digits).append(static_cast<std::size_t>(point - count), '0');
  } else {
    const auto whole = static_cast<std::size_t>(point);
    out.append(digits, 0, whole).append(".").append(digits, whole, std::string::npos);
  }
  return out;
}

// The shortest digits in exponent notation: "1e-5", "1.5e16" (no sign or padding on a positive
// exponent).
template <class F>
std::string exponential(F value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  QUENDRAL_CHECK(error == std::errc(), "a number did not fit its printed form");
  const std::string text(buffer, end);
  const std::size_t e = text.find('e');
  return text.substr(0, e) + "e" + std::to_string(std::stoi(text.substr(e + 1)));
}

}  // namespace

std::string format_f64(double value) {
  if (!std::isfinite(value)) return non_finite_form(value);
  if (value == 0.0) return std::signbit(value) ? "-0" : "0";
  return positional(value);
}

std::string format_f32(float value) {
  if (!std::isfinite(value)) return non_finite_form(value);
  const float magnitude = std::fabs(value);
  if (magnitude == 0.0f) return std::signbit(value) ? "-0.0" : "0.0";
  if (magnitude >= 1e-4f && magnitude < 1e16f) {
    std::string text = positional(value);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  return exponential(value);
}

std::string format_timeout(std::optional<float> timeout) {
  if (!timeout) return "None";
  return "Some(" + format_f32(*timeout) + ")";
}

std::string format_fixed4(double value) {
  if (!std::isfinite(value)) return non_finite_form(value);
  // %.4f rounds the exact binary value, ties to even; a finite double's form fits the buffer.
  char buffer[400];
  const int size = std::snprintf(buffer, sizeof buffer, "%.4f", value);
  QUENDRAL_CHECK(size > 0 && static_cast<std::size_t>(size) < sizeof buffer, "a double did not fit its printed form");
  return std::string(buffer, static_cast<std::size_t>(size));
}

// ---------------------------------------------------------------- log records

namespace {
// U+2014 EM DASH, with one blank on each side.
constexpr const char* kDash = " \xe2\x80\x94 ";
}  // namespace

void log_progress(std::string_view name, const SearchCounters& counters, std::size_t open, std::string_view target) {
  QLOG(Debug, target,
       name << ": expanded=" << counters.expanded << " generated=" << counters.generated << " open=" << open);
}

void log_goal_found(std::string_view name, std::uint64_t expanded, double depth, std::string_view target) {
  QLOG(Info, target,
       name << ": goal found" << kDash << "expanded=" << expanded << " depth=" << format_f64(depth));
}

void log_no_solution(std::string_view name, std::uint64_t expanded, std::string_view target) {
  QLOG(Info, target, name << ": no solution found" << kDash << "expanded=" << expanded);
}

// ---------------------------------------------------------------- timeout

bool SearchTimer::time_up_at(Clock::time_point now) const {
  if (!timeout_) return false;
  QUENDRAL_CHECK(now >= start_, "the wall clock reads earlier than the start of the search");
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
  const auto whole = static_cast<std::uint64_t>(elapsed) / 1'000'000'000u;
  const auto nanos = static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsed) % 1'000'000'000u);
  // Single precision throughout, so that the limit is met at exactly the same instants as the
  // timeout the caller gave (which arrives as a 32-bit float).
  const float seconds = static_cast<float>(whole) + static_cast<float>(nanos) / 1'000'000'000.0f;
  return seconds > *timeout_;
}

void SearchTimer::throw_timeout() { throw Error(ErrorKind::TimeoutError, "Timeout"); }

}  // namespace quendral
