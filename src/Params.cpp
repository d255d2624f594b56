#include "Params.h"

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "Error.h"
#include "sio/FileInfo.h"

namespace velmora {

static_assert(sizeof(bool) == 1, "bool fields must be one byte");
static_assert(std::is_trivially_copyable<detail::ParamsFields>::value,
              "the field record is copied in one step");

namespace {

using Fields = detail::ParamsFields;

// Configuration lines are read up to this many characters (newline included); the rest of a
// longer line is discarded.
constexpr int kMaxLineLength = 999;

enum class Kind {
    Int,
    Float,
    Bool,
    String,
    NumIns,     // int; an empty value leaves it unchanged
    ChOrder,    // comma-separated channel indices
    MicCoor,    // coordinate block; never dispatched by key
    SslFHigh,   // int; an empty value derives it from fsout
    TestItems,  // comma-separated test numbers
    FreqDbLower,
    FreqDbUpper,
};

// One configuration key: its name, how its value is read and printed, the member it sets,
// and the header of the printed section it opens (if any).
struct Key {
    const char* name;
    Kind kind;
    const char* header;
    int Fields::*i;
    float Fields::*f;
    bool Fields::*b;
    char* Fields::*s;
};

constexpr Key intKey(const char* n, int Fields::*m, const char* h = nullptr) {
    return {n, Kind::Int, h, m, nullptr, nullptr, nullptr};
}
constexpr Key floatKey(const char* n, float Fields::*m, const char* h = nullptr) {
    return {n, Kind::Float, h, nullptr, m, nullptr, nullptr};
}
constexpr Key boolKey(const char* n, bool Fields::*m) {
    return {n, Kind::Bool, nullptr, nullptr, nullptr, m, nullptr};
}
constexpr Key stringKey(const char* n, char* Fields::*m) {
    return {n, Kind::String, nullptr, nullptr, nullptr, nullptr, m};
}
constexpr Key specialKey(const char* n, Kind k, int Fields::*m = nullptr) {
    return {n, k, nullptr, m, nullptr, nullptr, nullptr};
}

// Every key in field order: keys are dispatched by the first name that begins the key read
// from the file, and printed in this order.
const Key kKeys[] = {
    intKey("fsin", &Fields::fsin, "Common Parameters:"),
    intKey("fsout", &Fields::fsout),
    intKey("nbitsin", &Fields::nbitsin),
    intKey("nbitsout", &Fields::nbitsout),
    floatKey("block_size", &Fields::block_size),
    intKey("nummics", &Fields::nummics),
    intKey("numrefs", &Fields::numrefs),
    intKey("numpilots", &Fields::numpilots),
    boolKey("pilots_as_audio", &Fields::pilots_as_audio),
    specialKey("numins", Kind::NumIns, &Fields::numins),
    specialKey("chorder", Kind::ChOrder),
    intKey("numouts", &Fields::numouts),
    stringKey("fe_in_path", &Fields::fe_in_path),
    stringKey("fe_out_path", &Fields::fe_out_path),
    stringKey("kws_event_path", &Fields::kws_event_path),
    specialKey("miccoor", Kind::MicCoor),
    intKey("mode", &Fields::mode),
    floatKey("init_time", &Fields::init_time),
    intKey("hpf_power", &Fields::hpf_power),

    intKey("aec_algorithm", &Fields::aec_algorithm, "AEC Parameters:"),
    intKey("aec_power", &Fields::aec_power),
    floatKey("aec_level", &Fields::aec_level),
    boolKey("aec_merge_refs", &Fields::aec_merge_refs),
    boolKey("aec_tde_active", &Fields::aec_tde_active),
    floatKey("aec_tde_maxoffset", &Fields::aec_tde_maxoffset),
    floatKey("aec_tde_refoffset", &Fields::aec_tde_refoffset),

    intKey("dr_algorithm", &Fields::dr_algorithm, "DR Parameters:"),
    intKey("dr_power", &Fields::dr_power),
    floatKey("dr_level", &Fields::dr_level),

    intKey("bf_algorithm", &Fields::bf_algorithm, "BF Parameters:"),
    intKey("bf_power", &Fields::bf_power),
    floatKey("bf_level", &Fields::bf_level),
    floatKey("bf_look", &Fields::bf_look),
    boolKey("bf_islocked", &Fields::bf_islocked),
    stringKey("bf_model_base", &Fields::bf_model_base),

    intKey("ns_algorithm", &Fields::ns_algorithm, "NS Parameters:"),
    intKey("ns_power", &Fields::ns_power),
    floatKey("ns_level", &Fields::ns_level),
    stringKey("ns_model_base", &Fields::ns_model_base),

    intKey("pf_algorithm", &Fields::pf_algorithm, "PF Parameters:"),
    floatKey("pf_res_floor", &Fields::pf_res_floor),
    floatKey("pf_speech_minsnr", &Fields::pf_speech_minsnr),
    floatKey("pf_level", &Fields::pf_level),
    floatKey("pf_wait", &Fields::pf_wait),
    floatKey("pf_timeout", &Fields::pf_timeout),

    intKey("agc_algorithm", &Fields::agc_algorithm, "AGC Parameters:"),
    floatKey("agc_gain", &Fields::agc_gain),
    intKey("agc_level", &Fields::agc_level),
    intKey("agc_power", &Fields::agc_power),

    intKey("volume_type", &Fields::volume_type, "Volume Parameters:"),
    intKey("volume_position", &Fields::volume_position),

    intKey("ssl_algorithm", &Fields::ssl_algorithm, "SSL Parameters:"),
    intKey("ssl_numscans", &Fields::ssl_numscans),
    boolKey("ssl_halfscan", &Fields::ssl_halfscan),
    floatKey("ssl_elevation", &Fields::ssl_elevation),
    floatKey("ssl_forget", &Fields::ssl_forget),
    intKey("ssl_f_low", &Fields::ssl_f_low),
    specialKey("ssl_f_high", Kind::SslFHigh, &Fields::ssl_f_high),

    intKey("vad_algorithm", &Fields::vad_algorithm, "VAD Parameters:"),
    floatKey("vad_forget", &Fields::vad_forget),
    floatKey("vad_target_radius", &Fields::vad_target_radius),
    floatKey("vad_minsnr", &Fields::vad_minsnr),
    floatKey("vad_target_minvar", &Fields::vad_target_minvar),
    floatKey("vad_noise_minvar", &Fields::vad_noise_minvar),
    stringKey("vad_model_base", &Fields::vad_model_base),

    {"test_items", Kind::TestItems, "Test Mode Parameters:", nullptr, nullptr, nullptr, nullptr},
    boolKey("test_print_detail", &Fields::test_print_detail),
    floatKey("test_saturation_level", &Fields::test_saturation_level),
    floatKey("test_max_saturation_rate", &Fields::test_max_saturation_rate),
    floatKey("test_discontinuity_level", &Fields::test_discontinuity_level),
    floatKey("test_max_discontinuity_rate", &Fields::test_max_discontinuity_rate),
    floatKey("test_max_similarity", &Fields::test_max_similarity),
    floatKey("test_max_amp_diff_rate", &Fields::test_max_amp_diff_rate),
    floatKey("test_freqdb_min_similarity", &Fields::test_freqdb_min_similarity),
    specialKey("test_freqdb_lower", Kind::FreqDbLower),
    specialKey("test_freqdb_upper", Kind::FreqDbUpper),

    intKey("train_feature", &Fields::train_feature, "Model Training Parameters:"),
    intKey("train_repeat", &Fields::train_repeat),
    floatKey("train_input_offset", &Fields::train_input_offset),
    floatKey("train_input_len", &Fields::train_input_len),
    boolKey("train_out_pooling", &Fields::train_out_pooling),
    floatKey("train_ark_batch_size", &Fields::train_ark_batch_size),
};

// Default geometry: six microphones on a circle of radius 4.25 cm at 60-degree steps and one
// at the centre.
const float kDefaultMics[7][3] = {
    {0.0425f, 0.0f, 0.0f},  {0.02125f, 0.036806f, 0.0f},   {-0.02125f, 0.036806f, 0.0f},
    {-0.0425f, 0.0f, 0.0f}, {-0.02125f, -0.036806f, 0.0f}, {0.02125f, -0.036806f, 0.0f},
    {0.0f, 0.0f, 0.0f},
};

// Same white space as the C library's isspace() in the "C" locale.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int saturate(long long v) {
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A decimal integer as atoi() reads it; text that is not a number gives 0, and values beyond
// the int range saturate.
int toInt(const std::string& s) {
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    return saturate(v);
}

float toFloat(const std::string& s) {
    return std::strtof(s.c_str(), nullptr);
}

// Reads one line into `buf` (at least kMaxLineLength + 1 bytes): at most kMaxLineLength
// characters including the newline are kept, the rest of a longer line is skipped. Returns
// false when the file has no more characters.
bool readLine(std::FILE* file, char* buf) {
    int n = 0;
    bool any = false;
    int c;
    while ((c = std::getc(file)) != EOF) {
        any = true;
        if (n < kMaxLineLength) buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return any;
}

// Scans "%s = %s": the key is the first run of non-blank characters; an equals sign must follow
// after optional white space, and the value is the next run of non-blank characters. A missing
// equals sign or value gives an empty value.
void scanKeyValue(const char* line, std::string* key, std::string* value) {
    key->clear();
    value->clear();
    const char* p = line;
    while (*p && isBlank(*p)) ++p;
    const char* start = p;
    while (*p && !isBlank(*p)) ++p;
    key->assign(start, p);
    while (*p && isBlank(*p)) ++p;
    if (*p != '=') return;
    ++p;
    while (*p && isBlank(*p)) ++p;
    start = p;
    while (*p && !isBlank(*p)) ++p;
    value->assign(start, p);
}

// Number of items in a comma-separated list: none when empty, else one more than its commas.
long long countItems(const std::string& v) {
    if (v.empty()) return 0;
    long long commas = 0;
    for (char c : v) commas += (c == ',');
    return commas + 1;
}

// The non-empty pieces between commas.
std::vector<std::string> splitCommas(const std::string& v) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (pos <= v.size()) {
        size_t comma = v.find(',', pos);
        if (comma == std::string::npos) comma = v.size();
        if (comma > pos) pieces.push_back(v.substr(pos, comma - pos));
        pos = comma + 1;
    }
    return pieces;
}

}  // namespace

Params::Params() {
    for (int k = 0; k < kMaxChannels; ++k) chorder[k] = k;
    std::memset(miccoor, 0, sizeof miccoor);
    std::memcpy(miccoor, kDefaultMics, sizeof kDefaultMics);
    test_items[0] = 0;
    for (int k = 1; k < kMaxTestItems; ++k) test_items[k] = -1;
    for (int k = 0; k < kNumFreqDbValues; ++k) {
        test_freqdb_lower[k] = -200.0f;
        test_freqdb_upper[k] = 200.0f;
    }
}

// Delegates to Params() so that the destructor frees whatever strings were read when the
// file turns out to be bad halfway.
Params::Params(const char* path) : Params() {
    readFile(path);
}

Params::Params(const detail::ParamsFields& fields, CopyTag) : detail::ParamsFields(fields) {
    fe_in_path = fe_out_path = kws_event_path = bf_model_base = ns_model_base = vad_model_base =
        nullptr;
    own_fe_in_path = own_fe_out_path = own_kws_event_path = own_bf_model_base = own_ns_model_base =
        own_vad_model_base = false;
}

Params::Params(const Params& other) : Params(other, CopyTag{}) {
    setString(&fe_in_path, other.fe_in_path);
    setString(&fe_out_path, other.fe_out_path);
    setString(&kws_event_path, other.kws_event_path);
    setString(&bf_model_base, other.bf_model_base);
    setString(&ns_model_base, other.ns_model_base);
    setString(&vad_model_base, other.vad_model_base);
}

Params& Params::operator=(const Params& other) {
    if (this == &other) return *this;
    Params copy(other);
    freeStrings();
    detail::ParamsFields::operator=(copy);
    // The strings now belong to this object; keep the temporary from freeing them.
    copy.own_fe_in_path = copy.own_fe_out_path = copy.own_kws_event_path = copy.own_bf_model_base =
        copy.own_ns_model_base = copy.own_vad_model_base = false;
    return *this;
}

Params::~Params() {
    freeStrings();
}

void Params::freeStrings() {
    char** fields[] = {&fe_in_path,    &fe_out_path,   &kws_event_path,
                       &bf_model_base, &ns_model_base, &vad_model_base};
    for (char** field : fields) setString(field, nullptr);
}

bool* Params::ownerFlag(char** field) {
    if (field == &fe_in_path) return &own_fe_in_path;
    if (field == &fe_out_path) return &own_fe_out_path;
    if (field == &kws_event_path) return &own_kws_event_path;
    if (field == &bf_model_base) return &own_bf_model_base;
    if (field == &ns_model_base) return &own_ns_model_base;
    if (field == &vad_model_base) return &own_vad_model_base;
    return nullptr;
}

void Params::setString(char** field, const char* value) {
    bool* owned = ownerFlag(field);
    VM_ASSERT(owned != nullptr);
    char* copy = nullptr;
    if (value) {
        size_t n = std::strlen(value);
        copy = new char[n + 1];
        std::memcpy(copy, value, n + 1);
    }
    if (*owned) delete[] * field;
    *field = copy;
    *owned = copy != nullptr;
}

void Params::getMicCoordinate(int index, float* x, float* y, float* z) const {
    if (index < 0 || index >= nummics || index > kMaxChannels - 1)
        error("Params", "Mic index out of bounds: %d", index);
    if (x) *x = miccoor[index][0];
    if (y) *y = miccoor[index][1];
    if (z) *z = miccoor[index][2];
}

void Params::setMicCoordinate(int index, float x, float y, float z) {
    if (index < 0 || index >= nummics || index > kMaxChannels - 1)
        error("Params", "Mic index out of bounds: %d", index);
    miccoor[index][0] = x;
    miccoor[index][1] = y;
    miccoor[index][2] = z;
}

void Params::setChannelOrder(int numins, ...) {
    long long count = static_cast<long long>(nummics) + numrefs;
    if (numins < count)
        error("Params", "No. of input channels out of bounds: %d, %d", numins, saturate(count));
    // chorder holds kMaxChannels entries; more channels cannot be ordered.
    if (count > kMaxChannels)
        error("Params", "No. of input channels out of bounds: %d, %d", saturate(count),
              kMaxChannels);
    this->numins = numins;
    va_list args;
    va_start(args, numins);
    for (int k = 0; k < count; ++k) {
        int chidx = va_arg(args, int);
        VM_ASSERT(chidx >= 0 && chidx < numins);
        chorder[k] = chidx;
    }
    va_end(args);
}

void Params::readFile(const char* path) {
    if (!path) error("Params", "Cannot open conf file: %s", "(null)");
    // A directory opens for reading on some systems and then reads as an empty file: only a
    // regular file (or a pipe or terminal) is a configuration.
    if (sio::isDirectory(path)) error("Params", "Cannot open conf file: %s", path);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "r"), &std::fclose);
    if (!file) error("Params", "Cannot open conf file: %s", path);

    char line[kMaxLineLength + 1];
    while (readLine(file.get(), line)) {
        if (std::strlen(line) < 2 || line[0] == '#' || line[0] == '\n' || line[0] == '\r') continue;
        if (std::strncmp(line, "miccoor = ", 10) == 0) {
            readMicCoordinates(file.get());
            continue;
        }
        parseLine(line);
    }
}

// Reads as many coordinate lines as there are microphones now; comment lines do not count.
void Params::readMicCoordinates(std::FILE* file) {
    char line[kMaxLineLength + 1];
    const int count = nummics;
    for (int index = 0; index < count;) {
        if (!readLine(file, line)) error("Params", "Failed to read mic coordinates");
        if (line[0] == '#') continue;
        float x = 0.0f, y = 0.0f, z = 0.0f;
        std::sscanf(line, "%f %f %f", &x, &y, &z);
        setMicCoordinate(index++, x, y, z);
    }
}

void Params::parseLine(const char* line) {
    std::string key, value;
    scanKeyValue(line, &key, &value);

    const Key* match = nullptr;
    for (const Key& k : kKeys) {
        if (k.kind == Kind::MicCoor) continue;
        if (key.compare(0, std::strlen(k.name), k.name) == 0) {
            match = &k;
            break;
        }
    }
    if (!match) return;

    switch (match->kind) {
        case Kind::Int:
            this->*match->i = toInt(value);
            break;
        case Kind::Float:
            this->*match->f = toFloat(value);
            break;
        case Kind::Bool:
            this->*match->b = toInt(value) != 0;
            break;
        case Kind::String:
            setString(&(this->*match->s), value.c_str());
            break;
        case Kind::NumIns:
            if (!value.empty()) numins = toInt(value);
            break;
        case Kind::SslFHigh:
            ssl_f_high = value.empty() ? fsout / 2 - 100 : toInt(value);
            break;
        case Kind::ChOrder: {
            if (value.empty()) break;
            const long long count = static_cast<long long>(nummics) + numrefs +
                                    (pilots_as_audio ? static_cast<long long>(numpilots) : 0);
            const long long bound = count > numins ? count : numins;
            if (bound < 1 || bound > kMaxChannels)
                error("Params", "No. of input channels out of bounds: %d, %d", saturate(bound),
                      kMaxChannels);
            const std::vector<std::string> pieces = splitCommas(value);
            for (long long k = 0; k < count; ++k) {
                if (k >= static_cast<long long>(pieces.size()))
                    error("Params", "Failed to parse channel order: %s", value.c_str());
                const int entry = toInt(pieces[k]);
                if (entry < 0 || entry >= bound)
                    error("Params", "Channel index out of bounds: %d, %d", entry,
                          static_cast<int>(bound));
                chorder[k] = entry;
            }
            break;
        }
        case Kind::TestItems: {
            const long long count = countItems(value);
            if (count > kMaxTestItems)
                error("Params", "Too many values for test_items: %d, at most %d", saturate(count),
                      kMaxTestItems);
            if (count == 0) {
                test_items[0] = -1;
            } else if (count == 1) {
                test_items[0] = toInt(value);
            } else {
                const std::vector<std::string> pieces = splitCommas(value);
                for (long long k = 0; k < count; ++k) {
                    if (k >= static_cast<long long>(pieces.size()))
                        error("Params", "Failed to parse test items: %s", value.c_str());
                    test_items[k] = toInt(pieces[k]);
                }
            }
            break;
        }
        case Kind::FreqDbLower:
        case Kind::FreqDbUpper: {
            if (value.empty()) break;
            float* mask = match->kind == Kind::FreqDbLower ? test_freqdb_lower : test_freqdb_upper;
            const long long count = countItems(value);
            if (count > kNumFreqDbValues)
                error("Params", "Too many values for %s: %d, at most %d", match->name,
                      saturate(count), kNumFreqDbValues);
            const std::vector<std::string> pieces = splitCommas(value);
            for (long long k = 0; k < count; ++k) {
                if (k >= static_cast<long long>(pieces.size()))
                    error("Params", "Failed to parse frequency response: %s", value.c_str());
                mask[k] = toFloat(pieces[k]);
            }
            break;
        }
        case Kind::MicCoor:
            break;
    }
}

void Params::print() const {
    print(stdout);
}

const char* Params::firstNonFinite(float* value) const {
    auto bad = [value](float v) {
        if (std::isfinite(v)) return false;
        if (value) *value = v;
        return true;
    };
    for (const Key& k : kKeys) {
        if (k.kind == Kind::Float && bad(this->*k.f)) return k.name;
        if (k.kind == Kind::FreqDbLower)
            for (float v : test_freqdb_lower)
                if (bad(v)) return k.name;
        if (k.kind == Kind::FreqDbUpper)
            for (float v : test_freqdb_upper)
                if (bad(v)) return k.name;
    }
    return nullptr;
}

void Params::print(std::FILE* out) const {
    bool first = true;
    for (const Key& k : kKeys) {
        if (k.header) {
            if (!first) std::fputs("\n", out);
            std::fprintf(out, "#\n# %s\n#\n", k.header);
            first = false;
        }
        switch (k.kind) {
            case Kind::Int:
            case Kind::NumIns:
            case Kind::SslFHigh:
                std::fprintf(out, "%s = %d\n", k.name, this->*k.i);
                break;
            case Kind::Float:
                std::fprintf(out, "%s = %f\n", k.name, static_cast<double>(this->*k.f));
                break;
            case Kind::Bool:
                std::fprintf(out, "%s = %d\n", k.name, (this->*k.b) ? 1 : 0);
                break;
            case Kind::String: {
                const char* s = this->*k.s;
                std::fprintf(out, "%s = %s\n", k.name, s ? s : "");
                break;
            }
            case Kind::ChOrder: {
                long long n = static_cast<long long>(nummics) + numrefs + numpilots;
                if (n > kMaxChannels) n = kMaxChannels;
                std::fputs("chorder = ", out);
                for (long long c = 0; c < n; ++c) std::fprintf(out, c ? ",%d" : "%d", chorder[c]);
                std::fputs("\n", out);
                break;
            }
            case Kind::MicCoor: {
                const int n = nummics < kMaxChannels ? nummics : kMaxChannels;
                std::fputs("miccoor = \n", out);
                for (int m = 0; m < n; ++m)
                    std::fprintf(out, "%f %f %f\n", static_cast<double>(miccoor[m][0]),
                                 static_cast<double>(miccoor[m][1]),
                                 static_cast<double>(miccoor[m][2]));
                break;
            }
            case Kind::TestItems:
                std::fputs("test_items = ", out);
                for (int t = 0; t < kMaxTestItems && test_items[t] >= 0; ++t)
                    std::fprintf(out, t ? ",%d" : "%d", test_items[t]);
                std::fputs("\n", out);
                break;
            case Kind::FreqDbLower:
            case Kind::FreqDbUpper: {
                const float* mask =
                    k.kind == Kind::FreqDbLower ? test_freqdb_lower : test_freqdb_upper;
                std::fprintf(out, "%s = ", k.name);
                for (int b = 0; b < kNumFreqDbValues; ++b)
                    std::fprintf(out, b ? ",%f" : "%f", static_cast<double>(mask[b]));
                std::fputs("\n", out);
                break;
            }
        }
    }
}

}  // namespace velmora
