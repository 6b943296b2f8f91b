"""Searches on the real benchmark tasks: every plan found replays on the task itself, read and
applied by a reader of the task files that shares nothing with the engine."""
import sys
from pathlib import Path

import pytest

import quendral as q

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from sas_task import TASKS_DIR, ground, read_sas  # noqa: E402

SMALL = ["gripper/prob05.sas", "logistics00/probLOGISTICS-8-0.sas", "blocks/probBLOCKS-10-0.sas",
         "miconic/s10-0.sas", "depot/p03.sas"]
FLAGS = {"internal_caching": False, "cache_value_in_state": False, "inadmissible_numeric_heuristic_variant": False}

pytestmark = pytest.mark.skipif(not TASKS_DIR.is_dir(), reason="the benchmark tasks are not beside the project")


def searches(description):
    hff = q.Heuristic.hff(**description, **FLAGS)
    hadd = q.Heuristic.hadd(**description, **FLAGS)
    return {
        "gbfs hff": lambda ss: q.gbfs_search(ss, hff, 60.0),
        "gbfs memory-bounded hff": lambda ss: q.gbfs_search_memory_bounded(ss, hff, 60.0),
        "wastar 0.8 hadd": lambda ss: q.wastar_search(ss, hadd, 0.8, 60.0),
        "ehc hff": lambda ss: q.ehc_search(ss, hff, 60.0),
        "multiqueue hff hadd": lambda ss: q.multiqueue_search(ss, [(hff, 1.0), (hadd, 1.0)], 60.0),
    }


@pytest.mark.parametrize("name", SMALL)
def test_plans_of_the_informed_searches_replay_on_the_task(name):
    task = read_sas(TASKS_DIR / name)
    ss, description = ground(task, q)
    for label, search in searches(description).items():
        plan, stats = search(ss)
        if plan is None and label.startswith("ehc"):
            continue  # hill-climbing may give up: it never backtracks past an improvement
        assert plan is not None, (label, stats)
        assert task.replay([a.idx for a in plan]), label
        assert stats["goal_depth"] == str(len(plan))

