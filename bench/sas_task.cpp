#include "bench/sas_task.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace quendral::bench {

namespace {

// Line-oriented reader: value and operator names are whole lines, everything else is a line of
// whitespace-separated integers.
class Reader {
 public:
  Reader(std::istream& in, const std::string& source) : in_(in), source_(source) {}

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(source_ + ":" + std::to_string(line_number_) + ": " + what);
  }

  std::string line() {
    std::string text;
    if (!std::getline(in_, text)) {
      ++line_number_;
      fail("unexpected end of file");
    }
    ++line_number_;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    return text;
  }

  void expect(std::string_view keyword) {
    const std::string text = line();
    if (text != keyword) fail("expected \"" + std::string(keyword) + "\", found \"" + text + "\"");
  }

  std::vector<std::int64_t> integers(std::size_t count) {
    const std::string text = line();
    std::vector<std::int64_t> values;
    const char* p = text.data();
    const char* end = text.data() + text.size();
    while (true) {
      while (p != end && (*p == ' ' || *p == '\t')) ++p;
      if (p == end) break;
      std::int64_t value = 0;
      const auto [next, error] = std::from_chars(p, end, value);
      if (error != std::errc() || (next != end && *next != ' ' && *next != '\t')) {
        fail("expected integers, found \"" + text + "\"");
      }
      values.push_back(value);
      p = next;
    }
    if (values.size() != count) {
      fail("expected " + std::to_string(count) + " integers, found \"" + text + "\"");
    }
    return values;
  }

  std::int64_t integer() { return integers(1)[0]; }

  // A count or index in [0, bound).
  std::size_t below(std::int64_t value, std::size_t bound, const char* what) const {
    if (value < 0 || static_cast<std::uint64_t>(value) >= bound) {
      fail(std::string(what) + " " + std::to_string(value) + " out of range");
    }
    return static_cast<std::size_t>(value);
  }

  std::size_t count(const char* what) {
    const std::int64_t value = integer();
    if (value < 0) fail(std::string("negative ") + what);
    return static_cast<std::size_t>(value);
  }

  bool at_end() {
    std::string rest;
    while (std::getline(in_, rest)) {
      if (rest.find_first_not_of(" \t\r") != std::string::npos) return false;
    }
    return true;
  }

 private:
  std::istream& in_;
  const std::string& source_;
  std::size_t line_number_ = 0;
};

struct Fact {
  std::size_t variable;
  std::size_t value;
};

// [Fluent(v), Object(name), Equals] for each fact, joined by `And` when there are several; the
// constant true when there are none.
NodeList conjunction(const SasTask& task, const std::vector<Fact>& facts) {
  NodeList nodes;
  if (facts.empty()) {
    nodes.push_back(ExpressionNode::boolean(true));
    return nodes;
  }
  std::vector<std::uint64_t> roots;
  nodes.reserve(facts.size() * 3 + 1);
  for (const Fact& fact : facts) {
    const std::uint64_t base = nodes.size();
    nodes.push_back(ExpressionNode::fluent(fact.variable));
    nodes.push_back(ExpressionNode::object(task.value_names[fact.variable][fact.value]));
    nodes.push_back(ExpressionNode::binary_operator(NodeKind::Equals, base, base + 1));
    roots.push_back(base + 2);
  }
  if (roots.size() > 1) nodes.push_back(ExpressionNode::list_operator(NodeKind::And, roots));
  return nodes;
}

}  // namespace

SasTask parse_sas_task(std::istream& in, const std::string& source) {
  Reader r(in, source);
  SasTask task;

  r.expect("begin_version");
  if (r.integer() != 3) r.fail("only version 3 is supported");
  r.expect("end_version");
  r.expect("begin_metric");
  r.integer();  // every action counts one step whatever the metric
  r.expect("end_metric");

  // Variables.
  const std::size_t variable_count = r.count("variable count");
  std::unordered_set<std::string> type_names;
  for (std::size_t v = 0; v < variable_count; ++v) {
    r.expect("begin_variable");
    std::string name = r.line();
    if (r.integer() != -1) r.fail("axiom layers are not supported");
    const std::size_t domain = r.count("domain size");
    if (domain == 0) r.fail("empty domain");
    std::vector<std::string> values;
    values.reserve(domain);
    std::unordered_set<std::string> seen;
    for (std::size_t k = 0; k < domain; ++k) {
      values.push_back(r.line());
      if (!seen.insert(values.back()).second) r.fail("value \"" + values.back() + "\" repeated");
    }
    r.expect("end_variable");
    if (name == "bool" || name == "int" || name == "real") r.fail("variable name \"" + name + "\" is reserved");
    if (!type_names.insert(name).second) r.fail("variable \"" + name + "\" repeated");
    task.fluent_types.push_back(name);
    task.objects.emplace(name, values);
    task.variable_names.push_back(std::move(name));
    task.value_names.push_back(std::move(values));
  }

  // Mutex groups: checked for form, not used.
  const std::size_t mutex_count = r.count("mutex group count");
  for (std::size_t g = 0; g < mutex_count; ++g) {
    r.expect("begin_mutex_group");
    const std::size_t size = r.count("mutex group size");
    for (std::size_t k = 0; k < size; ++k) {
      const auto pair = r.integers(2);
      const std::size_t var = r.below(pair[0], variable_count, "variable");
      r.below(pair[1], task.value_names[var].size(), "value");
    }
    r.expect("end_mutex_group");
  }

  // Initial state.
  r.expect("begin_state");
  task.initial_state.reserve(variable_count);
  for (std::size_t v = 0; v < variable_count; ++v) {
    const std::size_t value = r.below(r.integer(), task.value_names[v].size(), "value");
    task.initial_state.push_back(ExpressionNode::object(task.value_names[v][value]));
  }
  r.expect("end_state");

  const auto read_fact = [&] {
    const auto pair = r.integers(2);
    const std::size_t var = r.below(pair[0], variable_count, "variable");
    return Fact{var, r.below(pair[1], task.value_names[var].size(), "value")};
  };

  // Goal.
  r.expect("begin_goal");
  std::vector<Fact> goal_facts(r.count("goal count"));
  for (Fact& fact : goal_facts) fact = read_fact();
  r.expect("end_goal");
  task.goal = conjunction(task, goal_facts);

  // Operators.
  const std::size_t operator_count = r.count("operator count");
  task.actions.reserve(operator_count);
  task.operator_names.reserve(operator_count);
  for (std::size_t o = 0; o < operator_count; ++o) {
    r.expect("begin_operator");
    task.operator_names.push_back(r.line());
    std::vector<Fact> condition(r.count("prevail count"));
    for (Fact& fact : condition) fact = read_fact();
    Event event;
    event.action = Action{o};
    event.pos = 0;
    const std::size_t effect_count = r.count("effect count");
    for (std::size_t k = 0; k < effect_count; ++k) {
      const auto fields = r.integers(4);
      if (fields[0] != 0) r.fail("effect conditions are not supported");
      const std::size_t var = r.below(fields[1], variable_count, "variable");
      const std::size_t domain = task.value_names[var].size();
      if (fields[2] != -1) condition.push_back(Fact{var, r.below(fields[2], domain, "value")});
      const std::size_t after = r.below(fields[3], domain, "value");
      event.effects.push_back(Effect{var, NodeList{ExpressionNode::object(task.value_names[var][after])}});
    }
    r.integer();  // cost: every action counts one step
    r.expect("end_operator");
    event.conditions = conjunction(task, condition);
    const Action action{o};
    task.actions.push_back(action);
    std::vector<TimedEvent> timed;
    timed.emplace_back(Timing{true, Rational()}, std::move(event));
    task.events.insert_or_assign(action, std::move(timed));
  }

  if (r.integer() != 0) r.fail("axioms are not supported");
  if (!r.at_end()) r.fail("unexpected text after the axioms");
  return task;
}

SasTask load_sas_task(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error(path.string() + ": cannot open");
  return parse_sas_task(in, path.string());
}

std::optional<std::filesystem::path> shared_tasks_dir() {
  std::filesystem::path dir;
  if (const char* env = std::getenv("QUENDRAL_TASKS"); env != nullptr && *env != '\0') {
    dir = env;
  } else {
    dir = std::filesystem::path(QUENDRAL_SOURCE_DIR) / ".." / "shared" / "tasks";
  }
  std::error_code error;
  if (!std::filesystem::is_directory(dir, error)) return std::nullopt;
  return dir.lexically_normal();
}

std::vector<std::filesystem::path> classical_task_files() {
  std::vector<std::filesystem::path> files;
  const auto dir = shared_tasks_dir();
  if (!dir) return files;
  std::error_code error;
  const std::filesystem::path classical = *dir / "classical";
  if (!std::filesystem::is_directory(classical, error)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(classical, error)) {
    if (entry.is_regular_file() && entry.path().extension() == ".sas") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace quendral::bench
