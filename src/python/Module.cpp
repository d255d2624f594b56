// velmora: the engine as a Python module on numpy arrays. An Engine wraps one facade (built from
// a configuration file or a dict of the same keys) and processes one block at a time; enhance()
// and localize() run the command-line tool's two jobs over a whole array through the same job
// code, so a notebook gets the tool's samples bit for bit. Engine errors (the thrown texts) are
// raised as velmora.Error with the engine's message. Processing releases the GIL; each Engine
// serialises its own calls, so engines run in parallel threads and one engine shared by two
// threads stays consistent.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Params.h"
#include "app/Jobs.h"
#include "app/Velmora.h"
#include "sio/SignalSink.h"
#include "sio/SignalSource.h"

namespace py = pybind11;

namespace velmora::python {
namespace {

PyObject* errorType = nullptr;  // velmora.Error, alive as long as the module

// Raises velmora.Error with a message of the engine's form ("velmora, Engine: ...").
[[noreturn]] void raiseError(const std::string& message) {
    PyErr_SetString(errorType, ("velmora, Engine: " + message).c_str());
    throw py::error_already_set();
}

// ---------------------------------------------------------------------------------------------
// Configuration from a dict: written as key = value lines and read by the configuration parser,
// so keys, defaults and validation are exactly those of a file.

// The parameter listing of `params` as (key, value) pairs in the parser's order; the lines of
// the miccoor block come as ("miccoor", "x y z") pairs.
std::vector<std::pair<std::string, std::string>> listing(const Params& params) {
    std::vector<std::pair<std::string, std::string>> pairs;
    char* text = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&text, &size);
    if (!stream) return pairs;
    params.print(stream);
    std::fclose(stream);
    std::istringstream lines(std::string(text, size));
    std::free(text);
    std::string line;
    bool inMics = false;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find(" =");
        if (eq == std::string::npos) {
            if (inMics) pairs.emplace_back("miccoor", line);
            continue;
        }
        const std::string key = line.substr(0, eq);
        inMics = key == "miccoor";
        const size_t value = line.find_first_not_of(' ', eq + 2);
        pairs.emplace_back(key, value == std::string::npos ? "" : line.substr(value));
    }
    return pairs;
}

// Configuration keys in the parser's order (as the parameter listing prints them).
const std::vector<std::string>& knownKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> names;
        for (const auto& pair : listing(Params())) {
            if (names.empty() || names.back() != pair.first) names.push_back(pair.first);
        }
        return names;
    }();
    return keys;
}

// The listed key a configuration key sets: the first whose name begins the key, as the parser
// matches; -1 for a key the parser ignores.
int keyRank(const std::string& key) {
    const std::vector<std::string>& keys = knownKeys();
    for (size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] != "miccoor" && key.compare(0, keys[i].size(), keys[i]) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

std::string scalarText(const std::string& key, py::handle value) {
    if (value.is_none()) return "";
    if (py::isinstance<py::bool_>(value) ||
        py::isinstance(value, py::module_::import("numpy").attr("bool_")))
        return value.cast<bool>() ? "1" : "0";
    if (py::isinstance<py::str>(value) || py::hasattr(value, "__fspath__")) {
        const std::string text = py::str(py::module_::import("os").attr("fspath")(value));
        for (char c : text) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
                raiseError("Invalid " + key + ": '" + text + "', a value holds no blanks");
        }
        return text;
    }
    if (PyIndex_Check(value.ptr()))
        return py::str(py::int_(py::reinterpret_borrow<py::object>(value)));
    if (PyFloat_Check(value.ptr()) || py::hasattr(value, "__float__"))
        return py::repr(py::float_(py::reinterpret_borrow<py::object>(value)));
    raiseError("Invalid " + key + ": " + std::string(py::repr(value)) +
               ", expected a number, a text or a list of them");
}

// A value: a scalar, or a list of scalars written comma-separated (chorder, test_items, ...).
std::string valueText(const std::string& key, py::handle value) {
    if (py::isinstance<py::str>(value) || !py::hasattr(value, "__iter__"))
        return scalarText(key, value);
    std::string text;
    bool first = true;
    for (py::handle item : value) {
        if (!first) text += ',';
        text += scalarText(key, item);
        first = false;
    }
    return text;
}

// The miccoor block: one "x y z" line per microphone.
std::string micText(py::handle rows) {
    std::string text = "miccoor = \n";
    for (py::handle row : rows) {
        std::string line;
        int count = 0;
        for (py::handle v : row) {
            if (count++) line += ' ';
            line += scalarText("miccoor", v);
        }
        if (count != 3) raiseError("Invalid miccoor row: " + line + ", expected x y z");
        text += line + "\n";
    }
    return text;
}

// Writes the dict as configuration text: keys in the parser's order (so that nummics and numrefs
// precede chorder, whatever the dict's order), the microphone block last. Keys the parser would
// ignore draw a warning, since in a dict they are almost always typing errors.
std::string configText(const py::dict& config, int* micRows) {
    std::vector<std::pair<int, std::string>> lines;
    std::string mics;
    *micRows = -1;
    for (auto item : config) {
        if (!py::isinstance<py::str>(item.first))
            throw py::type_error("velmora: configuration keys are texts");
        const std::string key = item.first.cast<std::string>();
        if (key == "miccoor") {
            mics = micText(item.second);
            *micRows = static_cast<int>(py::len(item.second));
            continue;
        }
        const int rank = keyRank(key);
        if (rank < 0) {
            const std::string warning = "velmora: unknown configuration key ignored: " + key;
            if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 2) < 0)
                throw py::error_already_set();
            continue;
        }
        lines.emplace_back(rank, key + " = " + valueText(key, item.second) + "\n");
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& line : lines) text += line.second;
    return text + mics;
}

// A temporary file removed when it goes out of scope.
class TempConf {
  public:
    explicit TempConf(const std::string& text) {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir && *dir ? dir : "/tmp") + "/velmora-conf-XXXXXX";
        const int fd = mkstemp(path_.data());
        if (fd < 0) raiseError("Cannot create a temporary configuration file in " + path_);
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
        if (done != text.size()) {
            unlink(path_.c_str());
            raiseError("Cannot write the temporary configuration file " + path_);
        }
    }
    ~TempConf() { unlink(path_.c_str()); }
    TempConf(const TempConf&) = delete;
    TempConf& operator=(const TempConf&) = delete;
    const char* path() const { return path_.c_str(); }

  private:
    std::string path_;
};

// A configuration file path (str or path-like) or a dict of keys.
Params paramsFrom(const py::object& config) {
    if (py::isinstance<py::dict>(config)) {
        int micRows = -1;
        const std::string text = configText(config.cast<py::dict>(), &micRows);
        TempConf file(text);
        Params params(file.path());
        if (micRows >= 0 && micRows != params.nummics) {
            raiseError("miccoor has " + std::to_string(micRows) + " rows, nummics is " +
                       std::to_string(params.nummics));
        }
        return params;
    }
    if (py::isinstance<py::str>(config) || py::hasattr(config, "__fspath__")) {
        const std::string path = py::str(py::module_::import("os").attr("fspath")(config));
        return Params(path.c_str());
    }
    throw py::type_error("velmora: a configuration is a file path or a dict of keys");
}

// ---------------------------------------------------------------------------------------------
// In-memory input and output for the jobs.

class ArraySource : public sio::SignalSource {
  public:
    ArraySource(const float* data, long long frames, int channels)
        : data_(data), total_(frames * channels), channels_(channels) {}
    int numChannels() const override { return channels_; }
    void close() override { pos_ = total_; }
    bool readSample(float* value) override {
        if (pos_ >= total_) return false;
        *value = data_[pos_++];
        return true;
    }

  protected:
    int readSamples(float* values, int count) override {
        const long long n = std::min<long long>(count, total_ - pos_);
        std::copy(data_ + pos_, data_ + pos_ + n, values);
        pos_ += n;
        return static_cast<int>(n);
    }

  private:
    const float* data_;
    long long total_;
    long long pos_ = 0;
    int channels_;
};

class VectorSink : public sio::SignalSink {
  public:
    VectorSink(std::vector<float>* samples, int channels)
        : samples_(samples), channels_(channels) {}
    int numChannels() const override { return channels_; }
    void flush() override {}
    void close() override {}
    void writeSample(float value) override { samples_->push_back(value); }

  protected:
    void writeSamples(const float* values, int count) override {
        samples_->insert(samples_->end(), values, values + count);
    }

  private:
    std::vector<float>* samples_;
    int channels_;
};

class ArrayJobIO : public app::JobIO {
  public:
    ArrayJobIO(const float* data, long long frames, int channels, long long outCapacity)
        : data_(data), frames_(frames), channels_(channels) {
        output.reserve(static_cast<size_t>(outCapacity));
    }
    std::unique_ptr<sio::SignalSource> openInput(bool) override {
        return std::make_unique<ArraySource>(data_, frames_, channels_);
    }
    std::unique_ptr<sio::SignalSink> openOutput(int channels) override {
        outChannels = channels;
        return std::make_unique<VectorSink>(&output, channels);
    }
    void directions(const float* values, int count) override {
        output.insert(output.end(), values, values + count);
        outChannels = count;
    }

    std::vector<float> output;
    int outChannels = 0;

  private:
    const float* data_;
    long long frames_;
    int channels_;
};

// A (rows, columns) float32 array that takes over the vector's storage.
py::array_t<float> toArray(std::vector<float>&& samples, int columns) {
    auto* owned = new std::vector<float>(std::move(samples));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
    const py::ssize_t cols = std::max(columns, 1);
    const py::ssize_t rows = static_cast<py::ssize_t>(owned->size()) / cols;
    return py::array_t<float>({rows, cols}, owned->data(), owner);
}

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The whole input as a C-contiguous float32 (frames, channels) array (a copy only when the
// caller's array is of another type or layout).
FloatArray inputArray(const py::array& x, int channels) {
    if (!py::isinstance<py::array>(x) || x.dtype().kind() != 'f')
        throw py::type_error("velmora: the input is a float array of shape (frames, channels)");
    FloatArray a = FloatArray::ensure(x);
    if (a.ndim() == 1 && channels == 1) a = a.reshape({a.shape(0), py::ssize_t(1)});
    if (a.ndim() != 2 || a.shape(1) != channels) {
        throw py::value_error("velmora: the input has shape " +
                              std::string(py::str(x.attr("shape"))) +
                              ", the engine reads (frames, " + std::to_string(channels) + ")");
    }
    return a;
}

// ---------------------------------------------------------------------------------------------

class Engine {
  public:
    explicit Engine(const py::object& config) : params_(paramsFrom(config)) {
        engine_ = std::make_unique<Velmora>(params_);
        inFrames_ = engine_->inFramesPerBlock();
        outFrames_ = engine_->outFramesPerBlock();
        numIns_ = engine_->numIns();
        numOuts_ = engine_->numOuts();
        inBytes_.assign(static_cast<size_t>(engine_->inBytesPerBlock()), 0);
        outBytes_.assign(static_cast<size_t>(engine_->outBytesPerBlock()), 0);
        const int refs = params_.aec_merge_refs ? (params_.numrefs + 1) / 2 : params_.numrefs;
        meteredChannels_ = std::max(params_.nummics + refs, numOuts_);
    }

    Velmora& facade() { return *engine_; }
    const Params& params() const { return params_; }
    int inFrames() const { return inFrames_; }
    int outFrames() const { return outFrames_; }
    int numIns() const { return numIns_; }
    int numOuts() const { return numOuts_; }

    // One block of floats, or of integer PCM samples (int16 for 16 bits, int32 for 24 or 32).
    py::array process(const py::array& block, const py::object& out) {
        const char kind = block.dtype().kind();
        if (kind == 'f') return processFloat(block, out);
        if (kind == 'i') return processInt(block);
        throw py::type_error("velmora: a block is a float32 or integer PCM array");
    }

    py::bytes processBytes(const py::buffer& data) {
        const py::buffer_info info = data.request();
        const size_t size = static_cast<size_t>(info.size * info.itemsize);
        if (size != inBytes_.size()) {
            throw py::value_error("velmora: a block has " + std::to_string(inBytes_.size()) +
                                  " bytes, got " + std::to_string(size));
        }
        // Written in place before anyone else can see it.
        py::bytes result(nullptr, outBytes_.size());
        const auto* in = static_cast<const unsigned char*>(info.ptr);
        auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(result.ptr()));
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            engine_->process(in, out);
        }
        return result;
    }

    float direction(int n) { return locked(checkOutput(n), &Velmora::direction); }
    float look(int n) { return locked(checkOutput(n), &Velmora::look); }
    float vadValue(int n) { return locked(checkOutput(n), &Velmora::vadValue); }
    float volume(int n) {
        if (n < 0 || n >= meteredChannels_) {
            throw py::index_error("velmora: volume channel " + std::to_string(n) +
                                  ", allowed 0 to " + std::to_string(meteredChannels_ - 1));
        }
        return locked(n, &Velmora::volume);
    }
    void setLook(int n, float azimuth) {
        checkOutput(n);
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->setLook(n, azimuth);
    }
    void lock(int n, const py::object& blocks) {
        checkOutput(n);
        const bool given = !blocks.is_none();
        const float count = given ? blocks.cast<float>() : 0.0f;
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->lock(n, given ? &count : nullptr);
    }
    void unlock(int n) {
        checkOutput(n);
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->unlock(n);
    }
    void resetLocalization() {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->resetLocalization();
    }
    py::bytes saveState() {
        std::ostringstream stream;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            engine_->saveState(stream);
        }
        if (!stream) raiseError("Cannot write the state");
        return py::bytes(stream.str());
    }
    void loadState(const py::bytes& state) {
        std::istringstream stream(std::string(state), std::ios::binary);
        std::lock_guard<std::mutex> lock(mutex_);
        engine_->loadState(stream);
    }

  private:
    int checkOutput(int n) const {
        if (n < 0 || n >= numOuts_) {
            throw py::index_error("velmora: output " + std::to_string(n) + ", allowed 0 to " +
                                  std::to_string(numOuts_ - 1));
        }
        return n;
    }

    float locked(int n, float (Velmora::*query)(int)) {
        std::lock_guard<std::mutex> lock(mutex_);
        return (engine_.get()->*query)(n);
    }

    void checkShape(const py::array& block) const {
        if (block.ndim() != 2 || block.shape(0) != inFrames_ || block.shape(1) != numIns_) {
            throw py::value_error("velmora: a block has shape (" + std::to_string(inFrames_) +
                                  ", " + std::to_string(numIns_) + "), got " +
                                  std::string(py::str(block.attr("shape"))));
        }
    }

    py::array processFloat(const py::array& block, const py::object& out) {
        checkShape(block);
        FloatArray in = FloatArray::ensure(block);
        py::array_t<float> result;
        if (out.is_none()) {
            result = py::array_t<float>({outFrames_, numOuts_});
        } else {
            if (!py::isinstance<py::array_t<float>>(out))
                throw py::type_error("velmora: out is a float32 array");
            result = out.cast<py::array_t<float>>();
            if (result.ndim() != 2 || result.shape(0) != outFrames_ ||
                result.shape(1) != numOuts_ || !(result.flags() & py::array::c_style) ||
                !result.writeable()) {
                throw py::value_error(
                    "velmora: out is a writable C-contiguous float32 array of "
                    "shape (" +
                    std::to_string(outFrames_) + ", " + std::to_string(numOuts_) + ")");
            }
        }
        const float* src = in.data();
        float* dst = result.mutable_data();
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            engine_->process(src, dst);
        }
        return std::move(result);
    }

    // Integer PCM: int16 for 16-bit input, int32 (holding the value) for 24 or 32 bits; the
    // output likewise for the output bits.
    py::array processInt(const py::array& block) {
        checkShape(block);
        const int inBits = params_.nbitsin;
        const int outBits = params_.nbitsout;
        const size_t itemSize = inBits == 16 ? 2 : 4;
        if (static_cast<size_t>(block.itemsize()) != itemSize) {
            throw py::type_error("velmora: the engine reads " + std::to_string(inBits) +
                                 "-bit samples: pass " + (inBits == 16 ? "int16" : "int32"));
        }
        const size_t inCount = static_cast<size_t>(inFrames_) * numIns_;
        const size_t outCount = static_cast<size_t>(outFrames_) * numOuts_;
        py::array result = outBits == 16
                               ? py::array(py::dtype::of<int16_t>(), {outFrames_, numOuts_})
                               : py::array(py::dtype::of<int32_t>(), {outFrames_, numOuts_});
        py::array in = py::array::ensure(block, py::array::c_style);
        if (inBits == 16) {
            in = py::array_t<int16_t, py::array::c_style | py::array::forcecast>::ensure(in);
        } else {
            in = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(in);
        }
        const void* src = in.data();
        void* dst = result.mutable_data();
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            const unsigned char* bytesIn = static_cast<const unsigned char*>(src);
            if (inBits == 24) {
                // Three bytes per sample, low byte first.
                const int32_t* v = static_cast<const int32_t*>(src);
                for (size_t i = 0; i < inCount; ++i) {
                    const uint32_t u = static_cast<uint32_t>(v[i]);
                    inBytes_[3 * i] = static_cast<unsigned char>(u);
                    inBytes_[3 * i + 1] = static_cast<unsigned char>(u >> 8);
                    inBytes_[3 * i + 2] = static_cast<unsigned char>(u >> 16);
                }
                bytesIn = inBytes_.data();
            }
            unsigned char* bytesOut =
                outBits == 24 ? outBytes_.data() : static_cast<unsigned char*>(dst);
            engine_->process(bytesIn, bytesOut);
            if (outBits == 24) {
                int32_t* v = static_cast<int32_t*>(dst);
                for (size_t i = 0; i < outCount; ++i) {
                    const uint32_t u = static_cast<uint32_t>(outBytes_[3 * i]) |
                                       static_cast<uint32_t>(outBytes_[3 * i + 1]) << 8 |
                                       static_cast<uint32_t>(outBytes_[3 * i + 2]) << 16;
                    v[i] = static_cast<int32_t>(u << 8) >> 8;
                }
            }
        }
        return result;
    }

    Params params_;
    std::unique_ptr<Velmora> engine_;
    std::mutex mutex_;
    int inFrames_ = 0;
    int outFrames_ = 0;
    int numIns_ = 0;
    int numOuts_ = 0;
    int meteredChannels_ = 0;
    std::vector<unsigned char> inBytes_;
    std::vector<unsigned char> outBytes_;
};

// What the tool says on standard error after a job, as a warning.
void warnReplaced(Engine& engine) {
    const long long replaced = engine.facade().numReplacedSamples();
    if (replaced == 0) return;
    const std::string text = "velmora: replaced " + std::to_string(replaced) +
                             " input samples that were NaN, infinite or absurdly large by 0";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 2) < 0) throw py::error_already_set();
}

py::array_t<float> enhance(const py::array& x, const py::object& config) {
    Engine engine(config);
    FloatArray input = inputArray(x, engine.numIns());
    const long long frames = input.shape(0);
    const float* data = input.data();
    const Params& p = engine.params();
    long long blocks =
        std::max(0LL, frames - static_cast<long long>(p.fsin * p.train_input_offset)) /
        engine.inFrames();
    const int limit = static_cast<int>(p.train_input_len / p.block_size);
    if (limit > 0) blocks = std::min(blocks, static_cast<long long>(limit));
    ArrayJobIO io(data, frames, engine.numIns(), blocks * engine.outFrames() * engine.numOuts());
    int status = 0;
    {
        py::gil_scoped_release release;
        status = app::runEnhancementJob(engine.facade(), p, io, nullptr, nullptr);
    }
    if (status != 0) raiseError("The enhancement job failed: " + std::to_string(status));
    warnReplaced(engine);
    return toArray(std::move(io.output), io.outChannels);
}

py::array_t<float> localize(const py::array& x, const py::object& config) {
    Engine engine(config);
    FloatArray input = inputArray(x, engine.numIns());
    const long long frames = input.shape(0);
    ArrayJobIO io(input.data(), frames, engine.numIns(),
                  (frames / engine.inFrames() + 1) * engine.numOuts());
    int status = 0;
    {
        py::gil_scoped_release release;
        status = app::runLocalizationJob(engine.facade(), engine.params(), io, nullptr, nullptr);
    }
    if (status != 0) raiseError("The localisation job failed: " + std::to_string(status));
    warnReplaced(engine);
    return toArray(std::move(io.output), engine.numOuts());
}

}  // namespace
}  // namespace velmora::python

PYBIND11_MODULE(velmora, m) {
    using velmora::python::Engine;
    namespace vp = velmora::python;
    m.doc() =
        "Velmora multi-microphone speech front end on numpy arrays.\n\n"
        "Engine(config) processes (frames, channels) float32 blocks one at a time; enhance(x, "
        "config) and localize(x, config) run the command-line tool's jobs over a whole array.";
    vp::errorType = PyErr_NewException("velmora.Error", PyExc_RuntimeError, nullptr);
    m.attr("Error") = py::reinterpret_borrow<py::object>(vp::errorType);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const char* text) {
            PyErr_SetString(vp::errorType, text);
        }
    });
    m.attr("__version__") = VELMORA_VERSION;
    m.def("version", &velmora::Velmora::version, "The engine's version text.");

    py::class_<Engine>(m, "Engine",
                       "One engine: Engine(config) with a configuration file path or a dict of "
                       "configuration keys (the same keys, defaults and checks as the file).")
        .def(py::init<const py::object&>(), py::arg("config"))
        .def_property_readonly(
            "delay", [](Engine& e) { return e.facade().delay(); },
            "Algorithmic delay in output samples.")
        .def_property_readonly("in_frames_per_block", &Engine::inFrames)
        .def_property_readonly("out_frames_per_block", &Engine::outFrames)
        .def_property_readonly("num_ins", &Engine::numIns, "Interleaved input channels.")
        .def_property_readonly("num_outs", &Engine::numOuts, "Output channels.")
        .def_property_readonly("num_mics", [](Engine& e) { return e.facade().numMics(); })
        .def_property_readonly("num_refs", [](Engine& e) { return e.facade().numRefs(); })
        .def_property_readonly("input_rate", [](Engine& e) { return e.facade().inputRate(); })
        .def_property_readonly("output_rate", [](Engine& e) { return e.facade().outputRate(); })
        .def_property_readonly("input_bits", [](Engine& e) { return e.facade().inputBits(); })
        .def_property_readonly("output_bits", [](Engine& e) { return e.facade().outputBits(); })
        .def_property_readonly(
            "settings",
            [](Engine& e) {
                py::dict settings;
                py::list mics;
                for (const auto& [key, value] : vp::listing(e.params())) {
                    if (key != "miccoor") {
                        settings[py::str(key)] = value;
                    } else if (!value.empty()) {
                        mics.append(value);
                    }
                }
                settings["miccoor"] = mics;
                return settings;
            },
            "Every setting the engine was built from, as the parameter listing shows it "
            "(texts; miccoor a list of \"x y z\" texts).")
        .def_property_readonly(
            "replaced_samples", [](Engine& e) { return e.facade().numReplacedSamples(); },
            "Input samples replaced by 0 so far (NaN, infinite or absurdly large).")
        .def_property_readonly("volume_position",
                               [](Engine& e) { return e.params().volume_position; })
        .def("process", &Engine::process, py::arg("block"), py::arg("out") = py::none(),
             "Processes one block: a C-contiguous float32 array of shape (in_frames_per_block, "
             "num_ins) gives (out_frames_per_block, num_outs) float32 (written into `out` when "
             "given). Integer PCM blocks (int16 for 16-bit input, int32 for 24 or 32 bits) give "
             "integer output of the output bits.")
        .def("process_bytes", &Engine::processBytes, py::arg("data"),
             "Processes one block of raw little-endian PCM bytes of input_bits; returns the "
             "output block as bytes of output_bits.")
        .def("direction", &Engine::direction, py::arg("n") = 0,
             "Direction estimate (degrees) of output n.")
        .def("look", &Engine::look, py::arg("n") = 0, "Look direction (degrees) of output n.")
        .def("set_look", &Engine::setLook, py::arg("n"), py::arg("azimuth"))
        .def("vad_value", &Engine::vadValue, py::arg("n") = 0, "Voice-activity value of output n.")
        .def("volume", &Engine::volume, py::arg("n") = 0,
             "Volume of channel n, metered where volume_position says.")
        .def("lock", &Engine::lock, py::arg("n") = 0, py::arg("blocks") = py::none(),
             "The target of output n is confirmed over the last `blocks` blocks (None: the "
             "stages' default).")
        .def("unlock", &Engine::unlock, py::arg("n") = 0)
        .def("reset_localization", &Engine::resetLocalization)
        .def("save_state", &Engine::saveState, "The mode's learned state as bytes.")
        .def("load_state", &Engine::loadState, py::arg("state"))
        .def("__repr__", [](Engine& e) {
            return "<velmora.Engine " + std::to_string(e.numIns()) + " in, " +
                   std::to_string(e.numOuts()) + " out, " + std::to_string(e.inFrames()) +
                   " frames per block, delay " + std::to_string(e.facade().delay()) + ">";
        });

    m.def("enhance", &vp::enhance, py::arg("x"), py::arg("config"),
          "The tool's enhancement job over a whole (frames, channels) array: the same block "
          "loop, delay compensation and output length as `velmora CONF IN OUT`. Returns "
          "(frames, outputs) float32.");
    m.def("localize", &vp::localize, py::arg("x"), py::arg("config"),
          "The tool's localisation job over a whole array: the direction of every output, one "
          "row per block when ssl_forget is not 1, otherwise one row.");
}
