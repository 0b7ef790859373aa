"""ldi's Python module against ldi map itself: the same maps bit for bit from a
path, a nibabel image and a numpy array; ldi map's messages as exceptions;
two analyses in two threads at once as each alone."""

import glob
import hashlib
import json
import os
import shutil
import subprocess
import threading

import nibabel as nib
import numpy as np
import pandas as pd
import pytest

import ldi

LDI = os.environ.get("LDI_PROGRAM", "ldi")
# Few surrogates keep the runs short; the maps depend on them all the same.
SURROGATES = 40
RNG_SEED = 7


def ldi_map(*arguments):
    """ldi map's exit status and standard error."""
    done = subprocess.run([LDI, "map", "--quiet", *arguments], capture_output=True, text=True)
    return done.returncode, done.stderr


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """A simulated NIfTI run with events and a seed mask, and ldi map's maps of it."""
    root = tmp_path_factory.mktemp("ldi")
    subprocess.run([LDI, "simulate", str(root / "data"), "--format", "nifti", "--seed", "3"], check=True,
                   capture_output=True)
    bold = sorted(glob.glob(str(root / "data" / "**" / "*_bold.nii.gz"), recursive=True))[0]
    events = sorted(glob.glob(str(root / "data" / "**" / "*_events.tsv"), recursive=True))[0]
    seed = sorted(glob.glob(str(root / "data" / "**" / "*seed*.nii.gz"), recursive=True) +
                  glob.glob(str(root / "data" / "**" / "*reference*.nii.gz"), recursive=True))[0]
    out = root / "map"
    status, err = ldi_map("--bold", bold, "--events", events, "--seed", "Ref=" + seed, "--surrogates",
                          str(SURROGATES), "--rng-seed", str(RNG_SEED), "--write-p", "z", "--out", str(out))
    assert status == 0, err
    return {"root": root, "bold": bold, "events": events, "seed": seed, "out": out}


def options(**more):
    return dict(surrogates=SURROGATES, rng_seed=RNG_SEED, write_p="z", **more)


def same_bits(a, b):
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def expect_ldi_maps(results, out):
    """Every map, z map and threshold of `results` is ldi map's, bit for bit."""
    [written] = ldi.read_results(out)
    assert written["seed"] == "Ref"
    seed = results["Ref"]
    compared = 0
    for entry in written["maps"]:
        condition, kind = entry["condition"], entry["kind"]
        image = seed.maps[condition][kind]
        assert same_bits(image.get_fdata(dtype=np.float32), entry["image"].get_fdata(dtype=np.float32)), entry["path"]
        assert np.allclose(image.affine, entry["image"].affine, atol=1e-5)
        assert seed.thresholds[condition][kind] == entry["thresholds"]
        z_path = entry["path"].replace("_stat-effect_statmap.nii.gz", "_stat-z_statmap.nii.gz")
        if os.path.exists(z_path):
            assert same_bits(seed.z[condition][kind].get_fdata(dtype=np.float32),
                             nib.load(z_path).get_fdata(dtype=np.float32)), z_path
        compared += 1
    assert compared == sum(len(kinds) for kinds in seed.maps.values()) > 0
    sidecar = written["maps"][0]["sidecar"]
    assert results.provenance["parameters"] == sidecar["Parameters"]
    assert results.provenance["rngSeed"] == sidecar["RngSeed"] == RNG_SEED


def test_a_path_gives_ldi_maps_maps(dataset):
    results = ldi.map(dataset["bold"], {"Ref": dataset["seed"]}, events=dataset["events"], **options())
    expect_ldi_maps(results, dataset["out"])
    # The same files as ldi map records, read by the same reader.
    inputs = results.provenance["inputs"]
    assert [(i["Path"], i["Role"]) for i in inputs] == [
        (dataset["bold"], "bold"), (dataset["bold"][: -len(".nii.gz")] + ".json", "sidecar"),
        (dataset["events"], "events"), (dataset["seed"], "seedmask")]
    # Checksums a reviewer can recompute with any tool.
    for entry in inputs:
        with open(entry["Path"], "rb") as f:
            assert entry["SHA256"] == hashlib.sha256(f.read()).hexdigest(), entry["Path"]


def test_images_and_tables_in_memory_give_ldi_maps_maps(dataset):
    bold = nib.load(dataset["bold"])
    seed = nib.load(dataset["seed"])
    events = pd.read_csv(dataset["events"], sep="\t")
    tr = float(bold.header.get_zooms()[3])
    results = ldi.map(bold, {"Ref": seed}, events=events, tr=tr, **options())
    expect_ldi_maps(results, dataset["out"])


def test_numpy_arrays_in_either_order_give_ldi_maps_maps(dataset):
    bold = nib.load(dataset["bold"])
    data = np.asarray(bold.dataobj, dtype=np.float32)
    seed = np.asarray(nib.load(dataset["seed"]).dataobj) > 0
    events = pd.read_csv(dataset["events"], sep="\t")
    tr = float(bold.header.get_zooms()[3])
    # Fortran order is read where it lies; C order (time fastest) too, through other strides.
    for array in (np.asfortranarray(data), np.ascontiguousarray(data)):
        results = ldi.map(array, {"Ref": seed}, events=events, affine=bold.affine, tr=tr, **options())
        expect_ldi_maps(results, dataset["out"])


def test_out_writes_ldi_maps_files(dataset, tmp_path):
    ldi.map(dataset["bold"], {"Ref": dataset["seed"]}, events=dataset["events"], out=tmp_path, **options())
    mine = sorted(os.path.basename(p) for p in glob.glob(str(tmp_path / "*")))
    # Every file ldi map writes, its report included.
    theirs = sorted(os.path.basename(p) for p in glob.glob(str(dataset["out"] / "*")))
    assert mine == theirs
    assert any(name.endswith("_ldi-report.html") for name in mine)
    for name in mine:
        if name.endswith(".nii.gz") or name.endswith(".ldi"):
            assert (tmp_path / name).read_bytes() == (dataset["out"] / name).read_bytes(), name


@pytest.mark.parametrize("case", ["missing bold", "missing seed mask", "sphere off the grid", "unknown condition"])
def test_errors_carry_ldi_maps_messages(dataset, tmp_path, case):
    bold, seed, events = dataset["bold"], "Ref=" + dataset["seed"], dataset["events"]
    call = {"bold": bold, "seeds": {"Ref": dataset["seed"]}, "events": events}
    arguments = ["--bold", bold, "--seed", seed, "--events", events]
    if case == "missing bold":
        call["bold"] = str(tmp_path / "none_bold.nii.gz")
        arguments[1] = call["bold"]
    elif case == "missing seed mask":
        call["seeds"] = {"Ref": str(tmp_path / "none_mask.nii.gz")}
        arguments[3] = "Ref=" + call["seeds"]["Ref"]
    elif case == "sphere off the grid":
        call["seeds"] = {"Far": (900.0, 0.0, 0.0, 6.0)}
        arguments[3] = "Far=900,0,0,6"
    else:
        call["conditions"] = ["no-such-type"]
        arguments += ["--condition", "no-such-type"]
    status, err = ldi_map(*arguments, "--rng-seed", "1", "--out", str(tmp_path / "out"))
    assert status != 0
    with pytest.raises(ldi.LdiError) as raised:
        ldi.map(call.pop("bold"), call.pop("seeds"), rng_seed=1, surrogates=SURROGATES, **call)
    assert err.strip().splitlines()[-1] == "ldi: " + str(raised.value)
    assert raised.value.status == "bad input"


def test_two_threads_give_what_each_gives_alone(dataset):
    bold = nib.load(dataset["bold"])
    seeds = [{"Ref": nib.load(dataset["seed"])}, {"S": (0.0, 0.0, 0.0, 8.0)}]
    run = dict(events=dataset["events"], surrogates=SURROGATES, rng_seed=RNG_SEED, threads=2)
    alone = [ldi.map(dataset["bold"], seed, **run) for seed in seeds]
    together, lines, failures = [None, None], [[], []], []

    def analyse(i):
        try:
            together[i] = ldi.map(bold, seeds[i], progress=lines[i].append, tr=2.0, **run)
        except Exception as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=analyse, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    for i, seed in enumerate(seeds):
        [name] = seed
        for condition, kinds in alone[i][name].maps.items():
            for kind, image in kinds.items():
                other = together[i][name].maps[condition][kind]
                assert same_bits(image.get_fdata(dtype=np.float32), other.get_fdata(dtype=np.float32))
        assert alone[i][name].thresholds == together[i][name].thresholds
        # The progress lines come through the callback, each seed's own.
        assert "seed " + name in lines[i]


def test_a_failing_progress_callback_raises_its_error(dataset):
    def refuse(line):
        raise KeyError("stop")

    with pytest.raises(KeyError):
        ldi.map(dataset["bold"], {"S": (0.0, 0.0, 0.0, 8.0)}, surrogates=SURROGATES, rng_seed=1, progress=refuse)


def test_brain_mask_as_an_array_limits_the_voxels(dataset):
    bold = nib.load(dataset["bold"])
    inside = np.zeros(bold.shape[:3], bool)
    inside[:, :, : bold.shape[2] // 2] = True
    seed = np.asarray(nib.load(dataset["seed"]).dataobj) > 0
    results = ldi.map(bold, {"Ref": seed & inside}, mask=inside, surrogates=SURROGATES, rng_seed=1)
    assert results.voxels_analysed <= int(inside.sum())
    for kinds in results["Ref"].maps.values():
        for image in kinds.values():
            assert not np.any(image.get_fdata()[~inside])


def test_confounds_from_a_table_regress_as_from_its_file(dataset, tmp_path):
    """A confounds DataFrame (n/a included) regressed out of an in-memory run
    gives the maps of its file regressed out of the file run."""
    bold = nib.load(dataset["bold"])
    volumes = bold.shape[3]
    rng = np.random.default_rng(5)
    table = pd.DataFrame({"trans_x": np.round(rng.normal(size=volumes), 4),
                          "rot_y": np.round(rng.normal(size=volumes), 4),
                          "other": np.round(rng.normal(size=volumes), 4)})
    table.loc[0, "trans_x"] = np.nan  # as fMRIPrep leaves the first row of derivatives
    # A gap after the skip is filled from the skip on: the far value before it
    # would move the fill were the whole column taken.
    table.loc[1, "trans_x"] = 40.0
    table.loc[5, "trans_x"] = np.nan
    path = tmp_path / "confounds.tsv"
    table.to_csv(path, sep="\t", index=False, na_rep="n/a")
    columns = ["trans_?", "rot_*"]
    common = dict(events=dataset["events"], surrogates=SURROGATES, rng_seed=RNG_SEED, skip=2,
                  confound_columns=columns)
    from_file = ldi.map(dataset["bold"], {"Ref": dataset["seed"]}, confounds=path, **common)
    read = pd.read_csv(path, sep="\t", na_values="n/a", float_precision="round_trip")
    from_table = ldi.map(bold, {"Ref": nib.load(dataset["seed"])}, confounds=read, tr=2.0, **common)
    plain = ldi.map(dataset["bold"], {"Ref": dataset["seed"]}, **{k: v for k, v in common.items()
                                                                  if k != "confound_columns"})
    regressed = from_file["Ref"].maps["Task"]["inst"].get_fdata(dtype=np.float32)
    assert same_bits(regressed, from_table["Ref"].maps["Task"]["inst"].get_fdata(dtype=np.float32))
    assert not same_bits(regressed, plain["Ref"].maps["Task"]["inst"].get_fdata(dtype=np.float32))


@pytest.mark.parametrize("unfinished, index_generation, refused", [
    (None, None, False),            # the run finished: its seeds are read
    ("0" * 32, None, True),         # a run into the folder stopped midway
    (None, "f" * 32, True),         # an index from another run than the record vouches for
])
def test_a_folder_mixing_two_runs_is_refused(dataset, tmp_path, unfinished, index_generation, refused):
    out = str(tmp_path / "out")
    shutil.copytree(dataset["out"], out)
    [record_path] = glob.glob(os.path.join(out, "*_run_ldi.json"))
    with open(record_path) as f:
        record = json.load(f)
    assert record["unfinished"] is None
    record["unfinished"] = unfinished
    with open(record_path, "w") as f:
        json.dump(record, f)
    if index_generation is not None:
        [index_path] = [os.path.join(out, name) for name in record["indexes"]]
        with open(index_path) as f:
            index = json.load(f)
        index["runGeneration"] = index_generation
        with open(index_path, "w") as f:
            json.dump(index, f)
    if refused:
        with pytest.raises(ldi.LdiError, match="run ldi map again"):
            ldi.read_results(out)
    else:
        assert len(ldi.read_results(out)) == 1


def test_every_sidecar_defines_the_seed_as_nibabel_reads_its_mask(dataset):
    [written] = ldi.read_results(dataset["out"])
    mask = nib.load(dataset["seed"])
    inside = np.argwhere(np.asarray(mask.dataobj) > 0)
    centroid = nib.affines.apply_affine(mask.affine, inside).mean(axis=0)
    with open(dataset["seed"], "rb") as f:
        checksum = hashlib.sha256(f.read()).hexdigest()
    for entry in written["maps"]:
        definition = entry["sidecar"]["SeedDefinition"]
        assert definition["Shape"] == "mask"
        assert definition["MaskSHA256"] == checksum
        assert definition["Voxels"] == len(inside)
        assert np.allclose(definition["CentroidMm"], centroid, atol=1e-6)
        # The mask's path as seen from the output folder.
        recorded = os.path.join(dataset["out"], definition["MaskFile"])
        assert os.path.normpath(recorded) == os.path.normpath(dataset["seed"])


# A run of noise long enough that ldi.map takes well over the few seconds the
# Ctrl-C test waits; it reports when the call begins, and how it ended.
_INTERRUPTED_RUN = """
import sys, time
import numpy as np
import ldi
shape = tuple(int(n) for n in sys.argv[2:6])
data = np.random.default_rng(1).normal(100.0, 1.0, shape).astype(np.float32)
seed = np.zeros(shape[:3], bool)
seed[:2, :2, :2] = True
print("started", flush=True)
try:
    ldi.map(data, {"S": seed}, affine=np.eye(4), tr=2.0, skip=0, surrogates=1000, rng_seed=1, threads=1,
            out=sys.argv[1])
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_stops_a_running_analysis_within_a_second_leaving_no_files(tmp_path):
    import signal
    import sys
    import time

    out = tmp_path / "maps"
    child = subprocess.Popen([sys.executable, "-c", _INTERRUPTED_RUN, str(out), "48", "48", "40", "400"],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(1.0)
        child.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        ended = child.stdout.read().strip()
        child.wait(timeout=30)
        took = time.monotonic() - signalled
    finally:
        child.kill()
    assert ended == "interrupted"
    assert took < 2.0, f"the analysis went on {took:.1f} s after Ctrl-C"
    # The folder the run made is gone with it, nothing half-written left.
    assert not out.exists() or not any(out.rglob("*")), sorted(map(str, out.rglob("*")))
