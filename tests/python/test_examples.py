"""Every program in examples/ runs as a script, prints its plan with action names, and the plan it
found reaches the goal when it is replayed step by step on its own search space.

Each example runs in an interpreter of its own, as a user would run it. The examples leave their
search space and plan in the globals `space` and `plan`; the driver below runs the file as
`__main__`, then replays that plan from the root with `get_successor_state` and tests the last
state with `goal_reached`.
"""
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[2] / "examples").glob("*.py"))

DRIVER = """
import runpy, sys
namespace = runpy.run_path(sys.argv[1], run_name="__main__")
space, plan = namespace["space"], namespace["plan"]
assert plan, "the example found no plan"
state = space.initial_state()
for step, action in enumerate(plan):
    state = space.get_successor_state(state, action)
    assert state is not None, f"step {step} of the plan is not applicable"
assert space.goal_reached(state), "the plan does not reach the goal"
print(f"replayed {len(plan)} steps: goal reached")
"""


def test_every_example_is_collected():
    names = {path.name for path in EXAMPLES}
    assert {"demo.py", "classical.py", "numeric.py", "temporal.py", "custom_heuristic.py"} <= names


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda path: path.name)
def test_example_runs_and_its_plan_reaches_the_goal(path):
    done = subprocess.run([sys.executable, "-c", DRIVER, str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    output = done.stdout.splitlines()
    assert output[-1].startswith("replayed ") and output[-1].endswith(": goal reached")
    printed = "\n".join(output[:-1])
    assert printed.strip(), "the example printed nothing"
    # A readable plan names its actions; the default form of an Action object is not readable.
    assert " object at 0x" not in printed
