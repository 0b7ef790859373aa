"""One analysis behind every door: a run whose first two volumes are bright
(before the steady state) with its events, through ldi map, ldi.map from a
path, a nibabel image and a numpy array, and ldi bids's participant level,
gives the same map bytes and the same sidecars but for paths, date and
command; and a table of bad inputs gets the same refusal from each door."""

import glob
import json
import os
import shutil
import subprocess
import warnings

import nibabel as nib
import numpy as np
import pytest

import ldi

LDI = os.environ.get("LDI_PROGRAM", "ldi")
SURROGATES = 30
RNG_SEED = 7
BRIGHT = 2  # leading volumes before the steady state


def subject_base_seed(subject, task, wanted):
    """The --rng-seed of ldi bids that gives `subject`'s analysis the random seed `wanted`
    (ldi bids mixes each subject, session and task into the seed it is given)."""
    value = 1469598103934665603
    for byte in (subject + "//" + task).encode():
        value = ((value ^ byte) * 1099511628211) % 2**64
    return (wanted - value) % 2**64 & 0x3FFFFFFFFFFFFFFF


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """The simulated dataset with two bright leading volumes, and the maps of every door."""
    root = tmp_path_factory.mktemp("doors")
    data = root / "data"
    subprocess.run([LDI, "simulate", str(data), "--format", "nifti", "--seed", "3"], check=True, capture_output=True)
    bold = glob.glob(str(data / "sub-*" / "func" / "*_bold.nii.gz"))[0]
    events = bold.replace("_bold.nii.gz", "_events.tsv")
    seed = str(data / "reference_mask.nii.gz")
    image = nib.load(bold)
    values = np.asarray(image.dataobj, dtype=np.float32).copy()
    values[..., :BRIGHT] *= 1.6
    nib.Nifti1Image(values, image.affine, image.header).to_filename(bold)
    return {"root": root, "data": data, "bold": bold, "events": events, "seed": seed,
            "subject": os.path.basename(bold).split("_")[0][4:], "task": "blocks"}


def run_ldi(*arguments):
    done = subprocess.run([LDI, *arguments], capture_output=True, text=True)
    return done.returncode, done.stderr


def maps_of(folder):
    """{file name from its seed- entity on: path} of every map image under `folder` (an
    array has no file name to take the subject and task from)."""
    found = glob.glob(os.path.join(str(folder), "**", "*_statmap.nii.gz"), recursive=True)
    return {os.path.basename(path)[os.path.basename(path).index("seed-"):]: path for path in found}


def comparable(sidecar_path, in_memory=False, bare_array=False):
    """A map's sidecar without what differs by door: paths, date, command, run generation (and,
    for a run held in memory, what only a file has: its checksum and sidecar)."""
    with open(sidecar_path, encoding="utf-8") as f:
        sidecar = json.load(f)
    for key in ("Date", "Command", "Sources", "RunGeneration"):  # each run draws its own generation
        sidecar.pop(key, None)
    if "ZMap" in sidecar:  # a file name, with the run's entities when the run had a file name
        sidecar["ZMap"] = sidecar["ZMap"][sidecar["ZMap"].index("seed-"):]
    for run in sidecar.get("Runs", []):
        run.pop("Path", None)
        run.pop("Events", None)
        if in_memory:
            run.pop("RepetitionTimeSource", None)
    inputs = []
    for entry in sidecar.pop("Inputs", []):
        entry.pop("Path", None)
        if not (in_memory and entry.get("Role") in ("bold", "sidecar")):
            inputs.append(entry)
    sidecar["Inputs"] = inputs
    for run in sidecar.get("Runs", []):
        run.pop("RepetitionTimeFile", None)
    sidecar.get("SeedDefinition", {}).pop("MaskFile", None)
    if bare_array:  # no header: no sform or qform code to name the space by
        sidecar.get("SeedDefinition", {}).pop("CoordinateSpace", None)
    return sidecar


@pytest.fixture(scope="module")
def doors(study):
    """Each door's output folder."""
    root, bold, events, seed = study["root"], study["bold"], study["events"], study["seed"]
    common = ["--seed", "Ref=" + seed, "--surrogates", str(SURROGATES)]
    out = {}
    out["ldi map"] = root / "map"
    status, err = run_ldi("map", "--quiet", "--bold", bold, "--events", events, *common, "--rng-seed", str(RNG_SEED),
                          "--write-p", "z", "--out", str(out["ldi map"]))
    assert status == 0, err
    options = dict(events=events, surrogates=SURROGATES, rng_seed=RNG_SEED, write_p="z")
    image = nib.load(bold)
    for door, given in (("ldi.map path", bold), ("ldi.map image", image)):
        out[door] = root / door.replace(" ", "-")
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always")
            ldi.map(given, {"Ref": seed}, out=out[door], **options)
    out["ldi.map array"] = root / "array"
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        ldi.map(np.asarray(image.dataobj), {"Ref": seed}, affine=image.affine, tr=float(image.header["pixdim"][4]),
                out=out["ldi.map array"], **options)
    out["ldi bids"] = root / "bids"
    base = subject_base_seed(study["subject"], study["task"], RNG_SEED)
    status, err = run_ldi("bids", str(study["data"]), str(out["ldi bids"]), "participant", "--quiet",
                          "--skip-bids-validation", *common, "--rng-seed", str(base))
    assert status == 0, err
    return out


def test_every_door_gives_the_same_maps_and_sidecars(study, doors):
    reference = maps_of(doors["ldi map"])
    assert len(reference) >= 6
    for door, folder in doors.items():
        found = maps_of(folder)
        assert sorted(found) == sorted(reference), door
        for name, path in reference.items():
            if door == "ldi.map array":
                # A bare array has no header to give its sform and qform codes: the same
                # values on the same grid, placed by the same affine.
                mine, theirs = nib.load(path), nib.load(found[name])
                assert np.asarray(mine.dataobj).tobytes() == np.asarray(theirs.dataobj).tobytes(), (door, name)
                assert np.allclose(mine.affine, theirs.affine, atol=1e-5), (door, name)
            else:
                with open(path, "rb") as a, open(found[name], "rb") as b:
                    assert a.read() == b.read(), (door, name)
            sidecar = path[: -len(".nii.gz")] + ".json"
            theirs = found[name][: -len(".nii.gz")] + ".json"
            in_memory = door in ("ldi.map image", "ldi.map array")
            bare = door == "ldi.map array"
            assert comparable(theirs, in_memory, bare) == comparable(sidecar, in_memory, bare), (door, name)


def test_the_bright_volumes_are_skipped_by_every_door(doors):
    for door, folder in doors.items():
        path = sorted(glob.glob(os.path.join(str(folder), "**", "*_statmap.json"), recursive=True))[0]
        with open(path, encoding="utf-8") as f:
            runs = json.load(f)["Runs"]
        assert [run["SkippedVolumes"] for run in runs] == [BRIGHT], door
        assert [run["SkippedVolumesSource"] for run in runs] == ["detected"], door


def test_python_raises_the_warnings_ldi_map_prints(study):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = ldi.map(study["bold"], {"Ref": study["seed"]}, events=study["events"], surrogates=SURROGATES,
                          rng_seed=RNG_SEED)
    raised = [str(w.message) for w in caught if issubclass(w.category, ldi.LdiWarning)]
    assert raised == results.warnings
    assert any("outlier of the global signal" in w for w in raised)


# Each case: the spoiled option as ldi map and ldi bids take it, the same as
# ldi.map's keyword, and the words every door must give. None: the door has no such option.
BAD = [
    ("negative radius", ["--seed", "S=0,0,0,-1"], {"seeds": {"S": (0, 0, 0, -1)}},
     "seed 'S': the sphere's radius -1 is not a positive number of mm"),
    ("zero radius", ["--seed", "S=0,0,0,0"], {"seeds": {"S": (0, 0, 0, 0)}}, "the sphere's radius 0"),
    ("sphere off the grid", ["--seed", "Far=900,0,0,6"], {"seeds": {"Far": (900, 0, 0, 6)}},
     "seed 'Far': the sphere's centre"),
    ("long seed name", ["--seed", "S" * 5000 + "=0,0,0,6"], {"seeds": {"S" * 5000: (0, 0, 0, 6)}},
     "the seed name '" + "S" * 40 + "...' is 5000 bytes long"),
    ("long condition", ["--condition", "c" * 5000], {"conditions": ["c" * 5000]}, "is 5000 bytes long"),
    ("negative threads", ["--threads", "-1"], {"threads": -1}, "threads -1: give 1 to 4096"),
    ("negative skip", ["--skip", "-1"], {"skip": -1}, "skip -1: not a number of volumes"),
    ("negative tr", ["--tr", "-2"], {"tr": -2.0}, "tr -2: not a positive number of seconds"),
    ("infinite shift", ["--shift", "inf"], {"shift": float("inf")}, "shift inf: not a finite number of seconds"),
    ("no surrogates", ["--surrogates", "0"], {"surrogates": 0}, "surrogates"),
    ("q above 1", ["--q", "2"], {"q": [2.0]}, "q: "),
    ("unknown FDR method", ["--fdr", "bogus"], {"fdr": "bogus"}, "fdr 'bogus': not a method"),
    ("unknown dependence", ["--fdr-dependence", "any"], {"fdr_dependence": "any"},
     "fdr dependence 'any': give positive or arbitrary"),
    ("too many null draws", ["--null-draws", "5000"], {"null_draws": 5000}, "null draws 5000: give 1 to 1000"),
]
# What ldi bids refuses itself, before the library (it schedules subjects on the threads).
NOT_THROUGH_BIDS = {"negative threads", "negative tr", "long seed name"}


@pytest.mark.parametrize("case", BAD, ids=[c[0] for c in BAD])
def test_a_bad_input_gets_the_same_refusal_from_every_door(study, tmp_path, case):
    name, option, keywords, words = case
    arguments = dict(events=study["events"], surrogates=SURROGATES, rng_seed=1)
    surrogates = [] if option[0] == "--surrogates" else ["--surrogates", str(SURROGATES)]
    seeds = keywords.pop("seeds", {"Ref": study["seed"]})
    seed_option = option if option[0] == "--seed" else ["--seed", "Ref=" + study["seed"]]
    more = [] if option[0] == "--seed" else option
    arguments.update(keywords)
    with pytest.raises(ldi.LdiError) as raised:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ldi.map(study["bold"], seeds, **arguments)
    message = str(raised.value)
    assert words in message
    assert "--" not in message  # the library's words, not one door's option
    status, err = run_ldi("map", "--bold", study["bold"], "--events", study["events"], *seed_option, *more,
                          *surrogates, "--rng-seed", "1", "--out", str(tmp_path / "map"))
    assert status != 0
    assert message in err, err
    assert not (tmp_path / "map").exists()
    if name in NOT_THROUGH_BIDS:
        return
    status, err = run_ldi("bids", str(study["data"]), str(tmp_path / "bids"), "participant", "--quiet",
                          "--skip-bids-validation", *seed_option, *more, *surrogates, "--rng-seed", "1")
    assert status != 0
    assert message in err, err
