// The compiled half of ldi's Python module (ldi._ldi): an analysis request
// from the plain values the Python half (ldi/__init__.py) makes of paths,
// nibabel images, numpy arrays and pandas tables; runAnalysis with the GIL
// released; the maps, thresholds, warnings and provenance back as Python
// values. The Python half turns them into nibabel images.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/analysis.h"
#include "analysis/parameters.h"
#include "analysis/request_checks.h"
#include "formats/nifti_image.h"
#include "pictures/report.h"

namespace py = pybind11;

namespace ldi {

namespace {

// A run's in-memory data: the numpy array stays referenced for the call.
struct HeldArray {
    py::array array;
};

template <typename T>
T item(const py::dict& d, const char* key, T otherwise) {
    if (!d.contains(key) || d[key].is_none()) return otherwise;
    return d[key].cast<T>();
}

// The grid of an in-memory run from the bytes of a NIfTI header (nibabel's
// binaryblock); its values are float32 already, scaled.
bool arrayHeader(const py::bytes& block, NiftiHeader& header, std::string& problem) {
    const std::string bytes = block;
    std::size_t needed = 0;
    if (!decodeNiftiHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), header, needed,
                           problem))
        return false;
    header.datatype = 16;
    header.sclSlope = 0.0;
    header.sclInter = 0.0;
    return true;
}

// The numpy array as a RunArray: float32, 4D, strides that are whole values.
bool runArray(const std::string& name, const py::array& array, const py::bytes& block, RunArray& run,
              std::string& problem) {
    if (array.dtype().kind() != 'f' || array.itemsize() != 4 || array.ndim() != 4) {
        problem = name + ": the data must be a 4D float32 array";
        return false;
    }
    if (!arrayHeader(block, run.header, problem)) {
        problem = name + ": " + problem;
        return false;
    }
    for (py::ssize_t i = 0; i < 4; ++i) {
        if (array.shape(i) != run.header.dim[static_cast<std::size_t>(i + 1)] || array.strides(i) < 0 ||
            array.strides(i) % static_cast<py::ssize_t>(sizeof(float)) != 0) {
            problem = name + ": the array's shape or strides do not match its header";
            return false;
        }
        run.strides[static_cast<std::size_t>(i)] = array.strides(i) / static_cast<py::ssize_t>(sizeof(float));
    }
    run.values = static_cast<const float*>(array.data());
    return true;
}

std::vector<Event> eventTable(const py::list& rows) {
    std::vector<Event> events;
    for (const py::handle row : rows) {
        const py::tuple fields = row.cast<py::tuple>();
        events.push_back(Event{fields[0].cast<double>(), fields[1].cast<double>(), fields[2].cast<std::string>()});
    }
    return events;
}

bool confoundTable(const py::dict& given, int32_t skip, RunRequest& run, std::string& problem) {
    if (given.contains("confounds_path")) {
        run.confoundsPath = given["confounds_path"].cast<std::string>();
        ConfoundTable table;
        const auto patterns = given["confound_columns"].cast<std::vector<std::string>>();
        if (!readConfounds(run.confoundsPath, patterns, skip, table, problem)) return false;
        run.confounds = std::move(table);
        return true;
    }
    ConfoundTable table;
    table.names = given["confound_names"].cast<std::vector<std::string>>();
    table.columns = given["confound_values"].cast<std::vector<std::vector<double>>>();
    table.missing.assign(table.names.size(), 0);
    run.confounds = std::move(table);
    return true;
}

bool runRequest(const py::dict& given, int32_t skip, RunRequest& run, std::vector<HeldArray>& held,
                std::string& problem) {
    run.path = given["path"].cast<std::string>();
    run.events = item<std::string>(given, "events", "");
    run.tr = item<double>(given, "tr", 0.0);
    if (given.contains("events_table")) run.eventTable = eventTable(given["events_table"].cast<py::list>());
    if (given.contains("array")) {
        held.push_back(HeldArray{given["array"].cast<py::array>()});
        RunArray array;
        if (!runArray(run.path, held.back().array, given["header"].cast<py::bytes>(), array, problem)) return false;
        run.array = array;
    }
    if (given.contains("confounds_path") || given.contains("confound_names"))
        return confoundTable(given, skip, run, problem);
    return true;
}

std::vector<uint8_t> flags(const py::handle& values) {
    const auto array = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(values);
    return std::vector<uint8_t>(array.data(), array.data() + array.size());
}

bool seedRequest(const py::dict& given, SeedRequest& seed, std::string& problem) {
    seed.name = given["name"].cast<std::string>();
    const auto kind = given["kind"].cast<std::string>();
    if (kind == "file") {
        seed.shape = SeedRequest::Shape::maskFile;
        seed.maskPath = given["path"].cast<std::string>();
    } else if (kind == "flags") {
        seed.shape = SeedRequest::Shape::maskFlags;
        seed.maskFlags = flags(given["flags"]);
    } else if (kind == "sphere") {
        seed.shape = SeedRequest::Shape::sphere;
        const auto sphere = given["sphere"].cast<std::vector<double>>();
        if (sphere.size() != 4) {
            problem = "seed '" + seed.name + "': a sphere is x, y, z and a radius in mm";
            return false;
        }
        std::copy(sphere.begin(), sphere.end(), seed.sphere.begin());
    } else {
        problem = "seed '" + seed.name + "': give a mask (path, image or array) or a sphere (x, y, z, r)";
        return false;
    }
    return true;
}

// The parameters as ldi map reads its options: the settings file, then the
// single values, checked with its messages.
bool parameters(const py::dict& given, AnalysisRequest& request, std::string& problem) {
    ParameterOptions options;
    options.settingsFile = item<std::string>(given, "settings", "");
    if (given.contains("order") && !given["order"].is_none()) options.order = given["order"].cast<std::string>();
    if (given.contains("surrogates") && !given["surrogates"].is_none())
        options.surrogates = given["surrogates"].cast<int>();
    if (given.contains("q") && !given["q"].is_none()) options.q = given["q"].cast<std::string>();
    options.orderReport = item<bool>(given, "order_report", false);
    if (!readAnalysisParameters(options, request.parameters, request.order, problem)) return false;
    if (given.contains("fdr") && !given["fdr"].is_none() &&
        !parseFdrChoice(given["fdr"].cast<std::string>(), request.statistics.fdr, problem))
        return false;
    request.statistics.nullDraws = item<int>(given, "null_draws", 0);
    request.statistics.dependence = item<std::string>(given, "fdr_dependence", request.statistics.dependence);
    request.statistics.writeP = item<std::string>(given, "write_p", "");
    return true;
}

bool analysisRequest(const py::dict& given, AnalysisRequest& request, std::vector<HeldArray>& held,
                     std::string& problem) {
    if (!parameters(given, request, problem)) return false;
    // Without a skip the volumes before the steady state are found and left
    // out, as by every front end.
    request.detectNonSteadyState = !given.contains("skip") || given["skip"].is_none();
    request.skip = item<int32_t>(given, "skip", 0);
    request.shift = item<double>(given, "shift", 0.0);
    request.tr = item<double>(given, "tr", 0.0);
    request.rngSeed = item<int64_t>(given, "rng_seed", 0);
    request.command = item<std::string>(given, "command", "");
    request.threads = item<int>(given, "threads", 0);
    request.outputFolder = item<std::string>(given, "out", "");
    request.describeDataset = !request.outputFolder.empty();
    request.conditions = item<std::vector<std::string>>(given, "conditions", {});
    request.brainMasks = item<std::vector<std::string>>(given, "mask_paths", {});
    if (given.contains("mask_flags") && !given["mask_flags"].is_none())
        request.brainMaskFlags = flags(given["mask_flags"]);
    for (const py::handle run : given["runs"].cast<py::list>()) {
        request.runs.emplace_back();
        if (!runRequest(run.cast<py::dict>(), request.skip, request.runs.back(), held, problem)) return false;
    }
    for (const py::handle seed : given["seeds"].cast<py::list>()) {
        request.seeds.emplace_back();
        if (!seedRequest(seed.cast<py::dict>(), request.seeds.back(), problem)) return false;
    }
    return true;
}

py::array_t<float> floats(const std::vector<float>& values) {
    py::array_t<float> array(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(float));
    return array;
}

py::dict seedDict(const SeedResults& seed) {
    py::list kinds, maps, thresholds;
    for (MapType type : seed.kinds) kinds.append(mapKindLabel(type));
    for (std::size_t m = 0; m < seed.maps.size(); ++m) {
        const MapThresholds& t = seed.thresholds[m];
        py::dict levels;
        levels["searched"] = t.searched;
        levels["method"] = t.method;
        levels["thresholds"] = t.thresholds;
        levels["passing"] = t.passing;
        levels["p_values"] = t.pValues.empty() ? py::object(py::none()) : py::object(floats(t.pValues));
        // The z scores as ldi map writes them: one computation for both.
        const MapType type = seed.kinds[m % seed.kinds.size()];
        levels["z_values"] = t.pValues.empty() ? py::object(py::none())
                                               : py::object(floats(significanceMap(t.pValues, t.zValues, seed.maps[m],
                                                                                   type, true)));
        maps.append(floats(seed.maps[m]));
        thresholds.append(levels);
    }
    py::dict out;
    out["name"] = seed.seedName;
    out["label"] = seed.seedLabel;
    out["conditions"] = seed.conditionNames;
    out["condition_labels"] = seed.conditionLabels;
    out["kinds"] = kinds;
    out["maps"] = maps;
    out["thresholds"] = thresholds;
    out["log"] = seed.runLog;
    return out;
}

const char* statusName(AnalysisStatus status) {
    switch (status) {
    case AnalysisStatus::done: return "done";
    case AnalysisStatus::badInput: return "bad input";
    case AnalysisStatus::failed: return "failed";
    case AnalysisStatus::cancelled: return "cancelled";
    }
    return "failed";
}

// Each seed's results as the engine hands them over (the maps are released
// after the sink returns, so they are kept here).
struct KeptSeeds {
    std::vector<SeedResults> seeds;
    std::vector<std::vector<std::string>> descriptions;  // per seed and map, as the files' headers carry them
};

py::dict resultDict(const AnalysisResults& results, const KeptSeeds& kept) {
    py::dict out;
    out["status"] = statusName(results.status);
    out["problem"] = results.problem;
    out["warnings"] = results.warnings;
    out["conditions"] = results.conditionNames;
    out["analysed"] = results.analysedCount;
    out["order_table"] = results.orderTable;
    out["order"] = results.parameters.autoRegressionOrder;
    if (results.record.parameters != nullptr && results.status == AnalysisStatus::done)
        out["provenance"] = mapRunJson(results.record).dump();
    py::list seeds;
    for (std::size_t s = 0; s < kept.seeds.size(); ++s) {
        py::dict seed = seedDict(kept.seeds[s]);
        seed["descriptions"] = kept.descriptions[s];
        seeds.append(seed);
    }
    out["seeds"] = seeds;
    return out;
}

// The checks of an array the Python half is about to hand over, in the
// library's words: false with the message.
py::object checkArray(const std::string& what, const std::string& kind, int64_t itemBytes, int64_t dimensions,
                      int64_t wanted) {
    std::string problem;
    if (checkArrayKind(what, kind.empty() ? '?' : kind[0], itemBytes, dimensions, wanted, problem))
        return py::none();
    return py::str(problem);
}

// What the analysis thread hands the calling thread: its progress lines and its end.
struct AnalysisMail {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
    bool finished = false;
};

// Runs the analysis on a thread of its own, the GIL released, while this
// thread, the one Python runs its signal handlers on, passes the progress
// lines on and looks for Ctrl-C at least every 100 ms: a signal whose handler
// raises sets the request's cancel flag, the analysis stops within a slice of
// the voxel pass and the handler's exception is raised once it has (the
// output folder as it was).
void runInterruptibly(AnalysisRequest& request, const AnalysisOutputs& outputs, const ProgressLine& progress,
                      AnalysisResults& results) {
    AnalysisMail mail;
    if (progress)
        request.progress = [&mail](const std::string& line) {
            {
                std::lock_guard<std::mutex> hold(mail.lock);
                mail.lines.push_back(line);
            }
            mail.changed.notify_one();
        };
    std::atomic<bool> cancel{false};
    request.cancel = &cancel;
    std::exception_ptr failure;
    std::thread analysis([&] {
        try {
            runAnalysis(request, outputs, results);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> hold(mail.lock);
            mail.finished = true;
        }
        mail.changed.notify_one();
    });
    std::unique_ptr<py::error_already_set> interrupt;
    for (bool finished = false; !finished;) {
        std::vector<std::string> lines;
        {
            py::gil_scoped_release released;
            std::unique_lock<std::mutex> hold(mail.lock);
            mail.changed.wait_for(hold, std::chrono::milliseconds(100),
                                  [&mail] { return mail.finished || !mail.lines.empty(); });
            lines.swap(mail.lines);
            finished = mail.finished;
        }
        for (const std::string& line : lines) progress(line);
        if (interrupt || PyErr_CheckSignals() == 0) continue;
        interrupt = std::make_unique<py::error_already_set>();
        cancel.store(true);
    }
    analysis.join();
    if (interrupt) throw *interrupt;
    if (failure) std::rethrow_exception(failure);
}

py::object checkRunFolder(const std::string& folder) {
    std::string problem;
    if (checkRunGenerations(folder, problem)) return py::none();
    return py::str(problem);
}

// The analysis of one request (runInterruptibly: on a thread of its own).
py::dict run(const py::dict& given, const py::object& progress) {
    AnalysisRequest request;
    std::vector<HeldArray> held;
    std::string problem;
    AnalysisResults results;
    KeptSeeds kept;
    if (!analysisRequest(given, request, held, problem)) {
        results.status = AnalysisStatus::badInput;
        results.problem = problem;
        return resultDict(results, kept);
    }
    std::shared_ptr<py::error_already_set> progressError;
    ProgressLine lines;
    if (!progress.is_none())
        lines = [&progress, &progressError](const std::string& line) {
            if (progressError) return;
            try {
                progress(line);
            } catch (py::error_already_set& error) {
                progressError = std::make_shared<py::error_already_set>(std::move(error));
            }
        };
    const SeedSink files = request.outputFolder.empty() ? SeedSink() : seedFileWriter(request.outputFolder);
    const SeedSink sink = [&kept, &files](const MapRunRecord& record, const SeedResults& seed, std::string& why) {
        if (files && !files(record, seed, why)) return false;
        kept.seeds.push_back(seed);
        std::vector<std::string> descriptions;
        for (std::size_t m = 0; m < seed.maps.size(); ++m) descriptions.push_back(mapDescription(record, seed, m));
        kept.descriptions.push_back(std::move(descriptions));
        return true;
    };
    // With a folder, the files ldi map writes there, its report included.
    std::unique_ptr<HtmlReport> report;
    if (!request.outputFolder.empty()) report = std::make_unique<HtmlReport>(ReportContext{request.command});
    runInterruptibly(request, AnalysisOutputs{sink, report.get()}, lines, results);
    if (progressError) throw *progressError;
    return resultDict(results, kept);
}

}  // namespace

}  // namespace ldi

PYBIND11_MODULE(_ldi, module) {
    module.doc() = "ldi's analysis of NIfTI runs (use the ldi package, not this module)";
    module.def("run", &ldi::run, py::arg("request"), py::arg("progress") = py::none(),
               "Runs one analysis request (a dict made by ldi.map); returns a dict of results.");
    module.def("check_array", &ldi::checkArray, py::arg("what"), py::arg("kind"), py::arg("item_bytes"),
               py::arg("dimensions"), py::arg("wanted"),
               "None when the library takes the array, else its message.");
    module.def("check_run_generations", &ldi::checkRunFolder, py::arg("folder"),
               "None when each seed's index in the folder comes from a finished run, else the message.");
    module.attr("version") = ldi::ldiVersion;
}
