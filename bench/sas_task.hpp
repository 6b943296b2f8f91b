// Reads a grounded finite-domain task file (the "SAS" text form, version 3) and turns it into the
// engine's inputs, so that benchmarks and tests can run on real planning tasks instead of
// hand-made ones.
//
// The grounding is the plain one: every variable becomes one object-valued fluent (fluent i is
// variable i) whose objects are the names of the variable's values, exactly as the file writes
// them ("Atom at(ball1, rooma)", "<none of those>"); every operator becomes one instantaneous
// action (action i is operator i) with one event at its start. The event's condition is the
// conjunction of the operator's prevail conditions followed by the before-values of its effects,
// and its effects set the after-values. The goal is the conjunction of the goal facts.
//
// Each variable's values form one object type, named after the variable, so that a fluent's type
// lists exactly the values it can take. A conjunction of one fact is that fact alone and a
// conjunction of none is the constant true.
//
// The reader accepts what the file format allows only where the engine can represent it: effect
// conditions and axioms are rejected. A malformed file is a `std::runtime_error` naming the file
// and line; no index in the file is used before it has been checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/expressions/expressions.hpp"
#include "base/task/records.hpp"

namespace quendral::bench {

struct SasTask {
  // Per variable (= fluent index): its name in the file and the names of its values.
  std::vector<std::string> variable_names;
  std::vector<std::vector<std::string>> value_names;
  // Per operator (= action idx): its name in the file.
  std::vector<std::string> operator_names;

  // The engine's inputs.
  std::vector<Action> actions;                  // Action{0} .. Action{n - 1}
  EventsTable events;                           // one (Timing{start, 0}, Event) per action
  NodeList initial_state;                       // one Object node per fluent
  NodeList goal;                                // conjunction of Fluent == Object facts
  std::vector<std::string> fluent_types;        // per fluent: its object type name
  std::unordered_map<std::string, std::vector<std::string>> objects;  // type name -> value names
};

// Parses a task from `in`; `source` names it in error messages.
SasTask parse_sas_task(std::istream& in, const std::string& source = "<input>");

// Reads and parses the file at `path`.
SasTask load_sas_task(const std::filesystem::path& path);

// The folder of shared benchmark tasks: $QUENDRAL_TASKS when set, else "../shared/tasks" beside
// the repository root. Absent when the folder does not exist, so callers can skip cleanly.
std::optional<std::filesystem::path> shared_tasks_dir();

// Every "*.sas" file below `<shared tasks>/classical`, sorted by path; empty when absent.
std::vector<std::filesystem::path> classical_task_files();

}  // namespace quendral::bench
