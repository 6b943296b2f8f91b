#include "base/task/records.hpp"

namespace quendral {
namespace {

void append_rational(std::string& out, const Rational& value) {
  out += "Ratio { numer: ";
  out += value.numer().to_string();
  out += ", denom: ";
  out += value.denom().to_string();
  out += " }";
}

template <class T, class F>
void append_list(std::string& out, const std::vector<T>& items, F&& append_item) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    append_item(items[i]);
  }
  out += ']';
}

}  // namespace

std::string node_list_repr(std::span<const ExpressionNode> nodes) {
  std::string out = "[";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i) out += ", ";
    out += nodes[i].repr();
  }
  out += ']';
  return out;
}

std::string Action::repr() const { return "Action { idx: " + std::to_string(idx) + " }"; }

std::string Timing::repr() const {
  std::string out = "Timing { start: ";
  out += start ? "true" : "false";
  out += ", delay: ";
  append_rational(out, delay);
  out += " }";
  return out;
}

std::string Effect::repr() const {
  return "Effect { fluent: " + std::to_string(fluent) + ", value: " + node_list_repr(value) + " }";
}

std::string Event::repr() const {
  std::string out = "Event { action: " + action.repr() + ", pos: " + std::to_string(pos) + ", conditions: ";
  out += node_list_repr(conditions);
  const auto append_node_list = [&](const NodeList& nodes) { out += node_list_repr(nodes); };
  out += ", start_conditions: ";
  append_list(out, start_conditions, append_node_list);
  out += ", end_conditions: ";
  append_list(out, end_conditions, append_node_list);
  out += ", effects: ";
  append_list(out, effects, [&](const Effect& effect) { out += effect.repr(); });
  out += " }";
  return out;
}

}  // namespace quendral
