"""Lagged-dependency imaging (LDI) of fMRI runs from Python.

``ldi.map`` runs the analysis of ``ldi map`` on NIfTI runs given as paths,
nibabel images or numpy arrays, and returns its maps as nibabel images;
``ldi.read_results`` reads the files ``ldi map`` (or ``ldi.map(out=...)``)
wrote. See docs/python.md.
"""

import fnmatch
import json
import os
import warnings

import numpy as np

from . import _ldi

__all__ = ["map", "read_results", "LdiError", "LdiWarning", "Results", "SeedMaps", "version"]

version = _ldi.version

# The map kinds in the order the analysis computes them.
KINDS = ("ref2vox", "vox2ref", "inst", "dldi", "dldiit", "dldirc")


class LdiError(Exception):
    """The analysis refused its inputs or failed; the message is ldi map's.

    ``status`` is "bad input" (nothing was computed) or "failed".
    """

    def __init__(self, message, status="bad input"):
        super().__init__(message)
        self.status = status


class LdiWarning(UserWarning):
    """A warning of the analysis (ldi map prints it as "ldi: warning: ...")."""


def _checked(what, array, wanted):
    """The array as the library takes it, refused in the library's words."""
    problem = _ldi.check_array(what, array.dtype.kind, array.dtype.itemsize, array.ndim, wanted)
    if problem is not None:
        raise LdiError(problem)
    return array


def _nibabel():
    import nibabel

    return nibabel


def _is_path(value):
    return isinstance(value, (str, os.PathLike))


def _is_image(value):
    return hasattr(value, "affine") and hasattr(value, "dataobj")


def _run_header(shape, affine, header=None):
    """The NIfTI header bytes of an in-memory run (float32, data after the header)."""
    nib = _nibabel()
    image_class = nib.Nifti2Image if isinstance(header, nib.Nifti2Header) else nib.Nifti1Image
    if not isinstance(header, (nib.Nifti1Header, nib.Nifti2Header)):
        header = None
    # The constructor copies the header and puts the affine into its sform and
    # qform, as saving the image would; the data are never touched.
    affine = np.asarray(affine, dtype=np.float64)
    finite = affine.shape == (4, 4) and bool(np.all(np.isfinite(affine)))
    # An affine that is not finite is handed over as it is, for the library to
    # refuse in its words (nibabel's qform would fail on it first).
    image = image_class(np.empty((1, 1, 1, 1), np.float32), affine if finite else np.eye(4), header)
    out = image.header.copy()
    if not finite and affine.shape == (4, 4):
        out["srow_x"], out["srow_y"], out["srow_z"] = affine[0], affine[1], affine[2]
    out.set_data_shape(shape)
    out.set_data_dtype(np.float32)
    out.set_slope_inter(None, None)
    out["vox_offset"] = out.single_vox_offset
    return out.binaryblock


def _float32(data):
    """The array as float32 without a copy where it already is one (positive strides)."""
    array = np.asanyarray(data)
    if array.dtype == np.float32 and all(s > 0 and s % 4 == 0 for s in array.strides):
        return array
    return np.asfortranarray(array, dtype=np.float32)


def _bold_run(bold, affine, index):
    """One run as the dict the compiled module takes."""
    if _is_path(bold):
        return {"path": os.fspath(bold)}
    if _is_image(bold):
        name = bold.get_filename() or "bold run %d" % (index + 1)
        # An array in memory is taken as it is; a file's proxy is read (scaled)
        # once, without filling the image's cache.
        array = _float32(_checked(name, np.asanyarray(bold.dataobj), 4))
        header = bold.header
        affine = bold.affine
    else:
        if affine is None:
            raise LdiError("a numpy bold run needs affine= (its voxel-to-world matrix in mm)")
        name = "bold run %d" % (index + 1)
        array = _float32(_checked(name, np.asanyarray(bold), 4))
        header = None
    if array.ndim != 4:
        raise LdiError("%s: a bold run is a 4D image of several volumes; this one has %d dimensions"
                       % (name, array.ndim))
    return {"path": name, "array": array, "header": _run_header(array.shape, affine, header)}


def _events_table(events):
    """A pandas-like table (onset, duration, trial_type) as rows."""
    for column in ("onset", "duration", "trial_type"):
        if column not in events:
            raise LdiError("the events table has no %s column (it needs onset, duration and trial_type)" % column)
    rows = []
    for onset, duration, kind in zip(events["onset"], events["duration"], events["trial_type"]):
        rows.append((float(onset), float(duration), str(kind)))
    return rows


def _confounds(confounds, columns, skip):
    """A confounds table: a path read as ldi bids reads it, or a pandas-like table."""
    if _is_path(confounds):
        return {"confounds_path": os.fspath(confounds), "confound_columns": list(columns or ["*"])}
    names = [str(name) for name in confounds.columns]
    if columns:
        chosen = []
        for pattern in columns:
            matched = [name for name in names if fnmatch.fnmatchcase(name, pattern)]
            if not matched:
                raise LdiError("confound column %s: no column matches (the table has: %s)"
                               % (pattern, ", ".join(names)))
            chosen += [name for name in matched if name not in chosen]
        names = chosen
    values = []
    for name in names:
        column = np.asarray(confounds[name], dtype=np.float64)
        # Missing values take the mean of the column's others from the skip
        # on, as ldi bids fills fMRIPrep's n/a: they pull the fit neither way.
        kept = column[skip:][np.isfinite(column[skip:])]
        filled = np.where(np.isfinite(column), column, kept.mean() if kept.size else 0.0)
        values.append([float(v) for v in filled])
    return {"confound_names": names, "confound_values": values}


def _flags(mask):
    """A mask image or array as one flag per voxel, x fastest (the grid's order)."""
    values = np.asanyarray(mask.dataobj if _is_image(mask) else mask)
    if values.ndim == 4 and values.shape[3] == 1:
        values = values[..., 0]
    if values.ndim != 3:
        raise LdiError("a mask is a 3D image or array; this one has %d dimensions" % values.ndim)
    values = np.asarray(values)
    inside = (values != 0) & ~np.isnan(values) if values.dtype.kind == "f" else values != 0
    return np.ascontiguousarray(inside.ravel(order="F"), dtype=np.uint8)


def _check_mask_grid(mask, what, grid_affine, grid_shape):
    if _is_image(mask) and grid_affine is not None:
        if tuple(mask.shape[:3]) != tuple(grid_shape[:3]) or not np.allclose(mask.affine, grid_affine, atol=1e-3):
            raise LdiError("the %s is on another grid (%s voxels or another affine) than the bold (%s voxels); "
                           "resample it onto the bold's grid" % (what, _grid_text(mask.shape), _grid_text(grid_shape)))


def _grid_text(shape):
    return " x ".join(str(n) for n in shape[:3])


def _seed(name, seed, grid_affine, grid_shape):
    if _is_path(seed):
        return {"name": name, "kind": "file", "path": os.fspath(seed)}
    if isinstance(seed, (tuple, list)) and len(seed) == 4 and all(np.isscalar(v) for v in seed):
        return {"name": name, "kind": "sphere", "sphere": [float(v) for v in seed]}
    if _is_image(seed) or isinstance(seed, np.ndarray):
        _check_mask_grid(seed, "mask of seed '%s'" % name, grid_affine, grid_shape)
        return {"name": name, "kind": "flags", "flags": _flags(seed)}
    raise LdiError("seed '%s': give a mask (path, nibabel image or boolean array) or a sphere (x, y, z, r in mm)"
                   % name)


def _as_list(value):
    return list(value) if isinstance(value, (list, tuple)) else [value]


def _q_text(q):
    if q is None or isinstance(q, str):
        return q
    return ",".join(repr(float(v)) for v in _as_list(q))


def _request(bold, seeds, events, mask, confounds, options, grid):
    runs = [_bold_run(run, options["affine"], i) for i, run in enumerate(_as_list(bold))]
    grid_affine, _, grid_shape = grid
    if events is not None:
        events = _as_list(events) if isinstance(events, (list, tuple)) else [events]
        if len(events) != len(runs):
            raise LdiError("give one events file or table per run (%d runs, %d events)"
                           % (len(runs), len(events)))
        for run, table in zip(runs, events):
            if _is_path(table):
                run["events"] = os.fspath(table)
            else:
                run["events"] = "events table"
                run["events_table"] = _events_table(table)
    if confounds is not None:
        tables = confounds if isinstance(confounds, (list, tuple)) else [confounds] * len(runs)
        for run, table in zip(runs, tables):
            run.update(_confounds(table, options["confound_columns"], options["skip"] or 0))
    if not isinstance(seeds, dict):
        raise LdiError("seeds: give a dict of {name: mask (path, image or array) or (x, y, z, r) in world mm}")
    request = {"runs": runs, "seeds": [_seed(str(n), s, grid_affine, grid_shape) for n, s in seeds.items()]}
    masks = [] if mask is None else _as_list(mask)
    request["mask_paths"] = [os.fspath(m) for m in masks if _is_path(m)]
    in_memory = [m for m in masks if not _is_path(m)]
    if in_memory:
        flags = np.ones(int(np.prod(grid_shape[:3])) if grid_shape else 0, np.uint8)
        for m in in_memory:
            _check_mask_grid(m, "mask", grid_affine, grid_shape)
            got = _flags(m)
            flags = got if flags.size != got.size else flags & got
        request["mask_flags"] = flags
    return request


class SeedMaps:
    """One seed's maps: ``maps[condition][kind]`` as nibabel images (kind in
    ref2vox, vox2ref, inst, dldi, dldiit, dldirc), ``thresholds[condition][kind]``
    as a list of {"q", "threshold", "voxels"} per q (empty where no threshold was
    searched), ``p`` / ``z`` like ``maps`` when asked for (write_p)."""

    def __init__(self, name, label, maps, thresholds, p=None, z=None, log=""):
        self.name, self.label = name, label
        self.maps, self.thresholds = maps, thresholds
        self.p, self.z, self.log = p or {}, z or {}, log

    def __repr__(self):
        return "SeedMaps(%r, conditions=%r)" % (self.name, list(self.maps))


class Results:
    """What one analysis gave: ``seeds`` (name -> SeedMaps), ``conditions``,
    ``warnings``, ``provenance`` (the dict every map's index records: random
    seed, FDR method, parameters, inputs, date), ``voxels_analysed``,
    ``order``."""

    def __init__(self, seeds, conditions, warnings, provenance, voxels_analysed, order, order_table=""):
        self.seeds, self.conditions, self.warnings = seeds, conditions, warnings
        self.provenance, self.voxels_analysed = provenance, voxels_analysed
        self.order, self.order_table = order, order_table

    def __getitem__(self, seed):
        return self.seeds[seed]

    def __repr__(self):
        return "Results(seeds=%r, conditions=%r, voxels_analysed=%d)" % (
            list(self.seeds), self.conditions, self.voxels_analysed)


def _grid_of(run, affine):
    """The affine, header and shape the maps take from the first run."""
    nib = _nibabel()
    if _is_path(run):
        if not os.path.exists(os.fspath(run)):
            return None, None, None  # the analysis says what is missing
        run = nib.load(os.fspath(run))
    if _is_image(run):
        return run.affine, run.header, tuple(run.shape)
    if affine is None:
        raise LdiError("a numpy bold run needs affine= (its voxel-to-world matrix in mm)")
    return np.asarray(affine, dtype=np.float64), None, tuple(np.shape(run))


# The NIfTI intent of each statistic as the files written carry it.
_INTENTS = {"effect": ("estimate", "LDI map"), "z": ("z score", "z"), "p": ("p value", "p")}


def _map_image(values, shape, affine, header, statistic="effect", description=None):
    nib = _nibabel()
    volume = np.asarray(values, dtype=np.float32).reshape(shape[2], shape[1], shape[0]).transpose(2, 1, 0)
    image_class = nib.Nifti2Image if isinstance(header, nib.Nifti2Header) else nib.Nifti1Image
    out_header = None
    if isinstance(header, (nib.Nifti1Header, nib.Nifti2Header)):
        out_header = header.copy()
        out_header.set_data_dtype(np.float32)
        out_header.set_slope_inter(None, None)
    image = image_class(volume, affine, out_header)
    intent, name = _INTENTS[statistic]
    image.header.set_intent(intent, (), name=name)
    image.header.set_xyzt_units("mm")
    if description is not None:
        image.header["descrip"] = description.encode("utf-8")[:79]
    return image


def _seed_maps(seed, shape, affine, header, write_p):
    maps, thresholds, p_maps = {}, {}, {}
    kinds = seed["kinds"]
    for m, values in enumerate(seed["maps"]):
        condition, kind = seed["conditions"][m // len(kinds)], kinds[m % len(kinds)]
        description = seed["descriptions"][m] if "descriptions" in seed else None
        maps.setdefault(condition, {})[kind] = _map_image(values, shape, affine, header, "effect", description)
        levels = seed["thresholds"][m]
        thresholds.setdefault(condition, {})[kind] = [
            {"q": q, "threshold": float(t), "voxels": int(n)}
            for q, t, n in zip(_q_levels(seed), levels["thresholds"], levels["passing"])
        ] if levels["searched"] else []
        if write_p and levels["p_values"] is not None:
            # p as ldi map writes it (1 where a map has no value); z computed by
            # the library, as ldi map's z maps are.
            significance = np.asarray(levels["z_values"] if write_p == "z" else levels["p_values"], np.float32)
            p_maps.setdefault(condition, {})[kind] = _map_image(
                significance, shape, affine, header, write_p,
                None if description is None else description + (" z" if write_p == "z" else " p"))
    return SeedMaps(seed["name"], seed["label"], maps, thresholds,
                    p=p_maps if write_p == "p" else None, z=p_maps if write_p == "z" else None, log=seed["log"])


def _q_levels(seed):
    return seed.get("q", [])


def map(bold, seeds, events=None, mask=None, confounds=None, *, affine=None, tr=None, skip=None, shift=0.0,
        conditions=None, order=None, surrogates=None, q=None, fdr=None, null_draws=None,
        fdr_dependence=None, write_p=None, settings=None, confound_columns=None, rng_seed=None,
        threads=None, out=None, progress=None):
    """LDI maps of one seed region or more, as ``ldi map`` computes them.

    bold: a 4D NIfTI path, a nibabel image or a 4D numpy array (x, y, z, t)
        with ``affine=``; a list of them for several runs on one grid.
    seeds: {name: mask} with a mask as a path, nibabel image or boolean array
        on the bold's grid, or {name: (x, y, z, r)} for a sphere in world mm.
    events: a BIDS events.tsv path or a pandas-like table (onset, duration,
        trial_type) per run; None: each run after ``skip`` is one condition.
    skip: volumes left out at the start of every run; None (the default):
        the volumes before the steady state, found from the global signal,
        as ldi map does without --skip.
    mask: the voxels to analyse (path, image or array); None: every voxel
        with a finite, varying time course.
    confounds: a confounds table (path or pandas DataFrame) per run, its
        columns chosen by ``confound_columns`` (names or shell patterns;
        default all), regressed out of every voxel as the run is read.
    order, surrogates, q: None takes the settings file's value (``settings``),
        else ldi map's defaults (1, 1000, (0.01, 0.05, 0.1)); order may be
        "auto" or "auto:MAX".
    fdr: "permutation" (None: the default), "parametric" or "plugin"; null_draws,
        fdr_dependence and write_p ("p" or "z") as ldi map's options.
    rng_seed: the surrogates' seed (None: the clock's time, recorded in the
        provenance); threads: the computation's threads (None: every core).
    out: a folder to also write ldi map's files into, its report included.
    progress: called with each progress line ldi map would print.

    Returns Results; raises LdiError with ldi map's message. Each warning of
    the analysis is also raised as an LdiWarning (before the LdiError when the
    analysis then fails).
    """
    options = {"affine": affine, "skip": skip, "confound_columns": confound_columns}
    grid = _grid_of(_as_list(bold)[0], affine)
    request = _request(bold, seeds, events, mask, confounds, options, grid)
    if rng_seed is None:
        import time

        rng_seed = int(time.time())
    request.update({
        "tr": tr, "skip": skip, "shift": shift, "conditions": list(conditions or []),
        "order": None if order is None else str(order), "surrogates": surrogates, "q": _q_text(q),
        "fdr": fdr, "null_draws": null_draws, "fdr_dependence": fdr_dependence, "write_p": write_p,
        "settings": None if settings is None else os.fspath(settings), "rng_seed": int(rng_seed),
        "threads": threads, "out": None if out is None else os.fspath(out), "command": "ldi.map (Python)",
    })
    got = _ldi.run(request, progress)
    for warning in got["warnings"]:
        warnings.warn(warning, LdiWarning, stacklevel=2)
    if got["status"] != "done":
        raise LdiError(got["problem"], got["status"])
    provenance = json.loads(got["provenance"])
    grid_affine, grid_header, shape = grid
    q_levels = provenance["parameters"]["QThresholdsForFDR"]
    seed_maps = {}
    for seed in got["seeds"]:
        seed["q"] = q_levels
        seed_maps[seed["name"]] = _seed_maps(seed, shape, grid_affine, grid_header, write_p)
    return Results(seed_maps, got["conditions"], got["warnings"], provenance, got["analysed"], got["order"],
                   got["order_table"])


def _read_index(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def read_results(path):
    """The results ``ldi map`` wrote: ``path`` is an output folder, a seed's
    JSON index (``*_ldi.json``) or a map's sidecar (``*_statmap.nii.gz``'s .json).

    Returns a list of seeds (one for an index or sidecar), each a dict with
    the index's fields and "maps": a list of {"name", "kind", "condition",
    "image" (nibabel, loaded lazily), "thresholds", "sidecar"}.
    """
    path = os.fspath(path)
    if os.path.isdir(path):
        # The seeds' indexes (maps' sidecars written before the statmap names ended in _ldi.json too, with no map list).
        found = [os.path.join(path, name) for name in sorted(os.listdir(path)) if name.endswith("_ldi.json")]
        indexes = [(index, document) for index, document in ((p, _read_index(p)) for p in found) if "maps" in document]
        if not indexes:
            raise LdiError("%s: no ldi map index (*_ldi.json) in the folder" % path)
        problem = _ldi.check_run_generations(path)
        if problem is not None:
            raise LdiError(problem)
        return [_read_seed(index, document) for index, document in indexes]
    if not os.path.exists(path):
        raise LdiError("%s: no such file" % path)
    document = _read_index(path)
    if "maps" in document:
        return [_read_seed(path, document)]
    image_path = path[: -len(".json")] + ".nii.gz"
    return [{"seed": document.get("Seed"), "maps": [_map_entry(image_path, document)]}]


def _map_entry(image_path, sidecar):
    nib = _nibabel()
    thresholds = [{"q": level["q"], "threshold": level["Threshold"], "voxels": level["VoxelsPassing"]}
                  for level in sidecar.get("FDRThresholds", [])]
    return {"name": sidecar.get("DisplayName"), "kind": sidecar.get("MapKind"), "condition": sidecar.get("Condition"),
            "image": nib.load(image_path) if os.path.exists(image_path) else None, "path": image_path,
            "thresholds": thresholds, "sidecar": sidecar}


def _read_seed(index_path, index):
    folder = os.path.dirname(index_path)
    maps = []
    for entry in index.get("maps", []):
        name = entry.get("niftiFile")
        image_path = os.path.join(folder, name) if name else None
        sidecar_path = image_path[: -len(".nii.gz")] + ".json" if image_path else None
        sidecar = _read_index(sidecar_path) if sidecar_path and os.path.exists(sidecar_path) else {}
        maps.append(_map_entry(image_path, sidecar) if sidecar else {"name": entry.get("name"), "index": entry})
    seed = {key: value for key, value in index.items() if key != "maps"}
    seed["maps"] = maps
    return seed
