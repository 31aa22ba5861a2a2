#!/usr/bin/env python3
"""Runs the nicsim image as the Kubernetes manifests of deploy/kubernetes run it, without a cluster
or a container runtime: the OCI archive is unpacked into a root filesystem and each pod's command
runs there under chroot, with the environment Kubernetes would give it (the image's Env, the
container's env with its Downward API values worked out, JOB_COMPLETION_INDEX) and /results
standing for the shared volume.

  1. the image's entrypoint is nicsim, and it runs;
  2. the sweep Job's pods, one per completion index, each write their shard, over a small range
     of seeds (SEEDS replaced; SHARDS, the command and everything else as the manifest has them);
  3. the merge Job's command merges them, and its records are those of an unsharded sweep of the
     same seeds by the image's own nicsim: the same failing seeds, the same counts, everything but
     the wall time, CPU time and number of workers, which depend on the machine and the split;
  4. a completion index past SHARDS fails its pod, and the merge Job fails with a shard removed,
     naming it.

Usage: test_image.py ARCHIVE MANIFEST_DIR WORK_DIR [SEEDS]      (as root: chroot)
"""
import json
import math
import os
import shutil
import stat
import subprocess
import sys

import yaml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import oci_unpack  # noqa: E402

# Whatever depends on the machine or on how the seeds were split between processes.
MACHINE_FIELDS = ("wall_s", "cpu_s", "jobs")
checks = 0


def check(condition, message):
    global checks
    checks += 1
    if not condition:
        sys.exit(f"test-image: FAILED: {message}")


def quantity(text):
    """A Kubernetes quantity as a number: "2", "1500m", "0.5", "1Gi"."""
    text = str(text)
    suffixes = {"m": 1e-3, "k": 1e3, "M": 1e6, "G": 1e9, "Ki": 2**10, "Mi": 2**20, "Gi": 2**30}
    for suffix, factor in sorted(suffixes.items(), key=lambda s: -len(s[0])):
        if text.endswith(suffix):
            return float(text[: -len(suffix)]) * factor
    return float(text)


def only_container(manifest_dir, name):
    with open(os.path.join(manifest_dir, name)) as f:
        job = yaml.safe_load(f)
    containers = job["spec"]["template"]["spec"]["containers"]
    check(len(containers) == 1, f"{name}: one container per pod")
    return job, containers[0]


def pod_environment(image_config, container, extra):
    """What the kubelet hands the container: the image's Env, then the container's, with each
    resourceFieldRef worked out as the Downward API does (the resource divided by the divisor,
    rounded up)."""
    env = dict(e.split("=", 1) for e in image_config["config"].get("Env", []))
    for e in container.get("env", []):
        if "value" in e:
            env[e["name"]] = str(e["value"])
            continue
        ref = e["valueFrom"]["resourceFieldRef"]
        kind, _, resource = ref["resource"].partition(".")
        amount = quantity(container["resources"][kind][resource])
        env[e["name"]] = str(math.ceil(amount / quantity(ref.get("divisor", "1"))))
    env.update(extra)
    return env


CHROOT = shutil.which("chroot") or "/usr/sbin/chroot"  # found on this machine's PATH, not the image's


def in_image(root, argv, env):
    return subprocess.run([CHROOT, root, *argv], env=env, capture_output=True, text=True)


def records(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def comparable(rs):
    return [{k: v for k, v in r.items() if k not in MACHINE_FIELDS} for r in rs]


def main(archive, manifest_dir, work, seeds="1..200"):
    root = os.path.join(work, "rootfs")
    shutil.rmtree(work, ignore_errors=True)
    config = oci_unpack.unpack(archive, root)
    # What every container runtime provides beside the image: /dev/null, at least.
    os.makedirs(os.path.join(root, "dev"), exist_ok=True)
    os.mknod(os.path.join(root, "dev/null"), stat.S_IFCHR | 0o666, os.makedev(1, 3))

    # 1. The entrypoint.
    entrypoint = config["config"].get("Entrypoint")
    check(entrypoint == ["/usr/local/bin/nicsim"], f"the entrypoint is nicsim, not {entrypoint}")
    image_env = pod_environment(config, {}, {})
    version = in_image(root, [*entrypoint, "--version"], image_env)
    check(version.returncode == 0 and version.stdout.startswith("nicsim "), f"nicsim --version: {version}")
    story = in_image(root, [*entrypoint, "run", "--quiet"], image_env)
    check(story.returncode == 0, f"nicsim run (the default story) in the image: {story}")

    # 2. The sweep, one pod per completion index.
    sweep, explore = only_container(manifest_dir, "sweep-job.yaml")
    merge_job, merge = only_container(manifest_dir, "merge-job.yaml")
    check(sweep["spec"]["completionMode"] == "Indexed", "the sweep is an Indexed Job")
    completions = sweep["spec"]["completions"]
    manifest_env = {e["name"]: e.get("value") for e in explore["env"]}
    check(manifest_env.get("SHARDS") == str(completions), "SHARDS equals the sweep's completions")
    check("SEEDS" in manifest_env, "the sweep takes its seeds from SEEDS")
    results = os.path.join(root, "results")
    for mount in (explore, merge):
        check([m["mountPath"] for m in mount["volumeMounts"]] == ["/results"], "both Jobs mount the results at /results")
    os.makedirs(results)
    for index in range(completions):
        env = pod_environment(config, explore, {"SEEDS": seeds, "JOB_COMPLETION_INDEX": str(index)})
        pod = in_image(root, explore["command"] + explore["args"], env)
        check(pod.returncode == 0, f"sweep pod {index}: status {pod.returncode}\n{pod.stderr}")
        shard = records(os.path.join(results, f"shard-{index + 1}.jsonl"))
        check(shard[-1]["shard"] == f"{index + 1}/{completions}", f"pod {index} ran shard {index + 1}/{completions}")
        check(shard[-1]["jobs"] == int(env["CPUS"]), f"pod {index}: --jobs is the CPU request, {env['CPUS']}")
    past = in_image(root, explore["command"] + explore["args"],
                    pod_environment(config, explore, {"SEEDS": seeds, "JOB_COMPLETION_INDEX": str(completions)}))
    check(past.returncode == 2 and "is not a shard" in past.stderr,
          f"a completion index past SHARDS fails its pod with status 2: {past.returncode} {past.stderr}")

    # 3. The merge against the unsharded sweep.
    check(merge_job["spec"].get("suspend") is True, "the merge Job is created suspended")
    merge_env = pod_environment(config, merge, {})
    merged = in_image(root, merge["command"] + merge["args"], merge_env)
    check(merged.returncode == 0, f"the merge Job: status {merged.returncode}\n{merged.stderr}")
    whole = in_image(root, ["nicsim", "explore", "--seeds", seeds, "--out", "/results/whole.jsonl"], image_env)
    check(whole.returncode in (0, 1), f"the unsharded sweep: status {whole.returncode}\n{whole.stderr}")
    m, w = records(os.path.join(results, "merged.jsonl")), records(os.path.join(results, "whole.jsonl"))
    check([r["seed"] for r in m[:-1]] == [r["seed"] for r in w[:-1]], "the same failing seeds")
    for field in ("seeds", "complete", "failures", "failures_by_kind", "violations", "events", "faults",
                  "accounts_checked", "checks"):
        check(m[-1][field] == w[-1][field], f"summary {field}: merged {m[-1][field]}, unsharded {w[-1][field]}")
    check(comparable(m) == comparable(w), "every record but wall time, CPU time and workers")
    check(m[-1]["complete"] is True and m[-1]["shard"] is None, "the merge is the whole sweep")
    check(os.path.getsize(os.path.join(results, "merged.xml")) > 0, "the merge wrote its JUnit report")
    check([json.loads(l) for l in merged.stdout.splitlines() if l.startswith("{")] == m,
          "the merge pod's log holds the merged records")

    # 4. A shard missing: the merge Job fails and names it.
    missing = completions - 1 if completions > 1 else 1
    os.remove(os.path.join(results, f"shard-{missing}.jsonl"))
    incomplete = in_image(root, merge["command"] + merge["args"], merge_env)
    check(incomplete.returncode == 2, f"the merge Job with shard {missing} removed: status {incomplete.returncode}")
    check(f"missing {missing}/{completions}" in incomplete.stderr, f"it names the shard: {incomplete.stderr}")

    s = w[-1]
    print(f"test-image: {s['seeds']} seeds ({seeds}) in {completions} pods, merged = unsharded: "
          f"{s['failures']} failures, {s['events']} events, {s['checks']} checks; "
          f"merge without shard {missing}/{completions} fails; {checks} checks passed")


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    main(*sys.argv[1:])
