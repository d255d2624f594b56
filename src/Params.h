#pragma once
// The engine's parameter set: one flat record with a field per configuration key.

#include <cstdio>

namespace velmora {

constexpr int kMaxChannels = 100;      // entries of chorder, rows of miccoor
constexpr int kMaxTestItems = 100;     // entries of test_items
constexpr int kNumFreqDbValues = 160;  // entries of test_freqdb_lower / test_freqdb_upper

namespace detail {

// Plain storage of every setting, in configuration-key order; scalar defaults are given here,
// array defaults are filled in by Params(). Trivially copyable, so Params can copy all fields in
// one step and then deal with the strings alone.
struct ParamsFields {
    int fsin = 16000;
    int fsout = 16000;
    int nbitsin = 16;
    int nbitsout = 16;
    float block_size = 0.01f;
    int nummics = 7;
    int numrefs = 1;
    int numpilots = 0;
    bool pilots_as_audio = true;
    int numins = 0;
    int chorder[kMaxChannels];
    int numouts = 1;
    char* fe_in_path = nullptr;
    char* fe_out_path = nullptr;
    float miccoor[kMaxChannels][3];
    int mode = 4;
    float init_time = 3.0f;
    int hpf_power = 4;

    int aec_algorithm = 201;
    int aec_power = 0;
    float aec_level = 0.0f;
    bool aec_merge_refs = false;
    bool aec_tde_active = false;
    float aec_tde_maxoffset = 0.0f;
    float aec_tde_refoffset = 0.0f;

    int dr_algorithm = 0;
    int dr_power = 0;
    float dr_level = 0.0f;

    int bf_algorithm = 0;
    int bf_power = 0;
    float bf_level = 0.0f;
    float bf_look = 0.0f;
    bool bf_islocked = false;
    char* bf_model_base = nullptr;

    int ns_algorithm = 0;
    int ns_power = 0;
    float ns_level = 0.1f;
    char* ns_model_base = nullptr;

    int pf_algorithm = 0;
    float pf_res_floor = -20.0f;
    float pf_speech_minsnr = -5.0f;
    float pf_level = 0.3f;
    float pf_wait = 2.0f;
    float pf_timeout = 1.0f;

    int agc_algorithm = 1;
    float agc_gain = 1.0f;
    int agc_level = 4;
    int agc_power = 3;

    int volume_type = 0;
    int volume_position = 0;

    int ssl_algorithm = 0;
    int ssl_numscans = 36;
    bool ssl_halfscan = false;
    float ssl_elevation = 0.0f;
    float ssl_forget = 1.0f;
    int ssl_f_low = 100;
    int ssl_f_high = 7900;

    int vad_algorithm = 0;
    float vad_forget = 0.0f;
    float vad_target_radius = 20.0f;
    float vad_minsnr = 0.0f;
    float vad_target_minvar = 0.0f;
    float vad_noise_minvar = 0.0f;
    char* vad_model_base = nullptr;

    int test_items[kMaxTestItems];
    bool test_print_detail = false;
    float test_saturation_level = 0.99f;
    float test_max_saturation_rate = 0.01f;
    float test_discontinuity_level = 3.0f;
    float test_max_discontinuity_rate = 0.01f;
    float test_max_similarity = 0.99f;
    float test_max_amp_diff_rate = 0.03f;
    float test_freqdb_min_similarity = 0.9f;
    float test_freqdb_lower[kNumFreqDbValues];
    float test_freqdb_upper[kNumFreqDbValues];

    int train_feature = 0;
    int train_repeat = 1;
    float train_input_offset = 0.0f;
    float train_input_len = 0.0f;
    bool train_out_pooling = false;
    float train_ark_batch_size = 10.0f;

    // Set when this object allocated the string of the same name and must free it.
    bool own_fe_in_path = false;
    bool own_fe_out_path = false;
    bool own_bf_model_base = false;
    bool own_ns_model_base = false;
    bool own_vad_model_base = false;
};

}  // namespace detail

// Every setting of the engine, read from defaults and then from a key = value configuration file.
// A value object: copies are deep (each copy owns duplicates of the strings that are set), and
// strings are freed only by the object whose own_* flag is set. Owned strings are allocated with
// new[]; set them through setString() so the ownership flag follows. A failed read leaves the
// object unusable but still safe to destroy.
class Params : public detail::ParamsFields {
  public:
    // All defaults: 16 kHz in and out, 10 ms blocks, seven microphones on a 4.25 cm circle plus
    // one reference, identity channel order, test item 0, open frequency-response mask.
    Params();
    // Defaults, then the configuration file at `path`.
    explicit Params(const char* path);
    Params(const Params& other);
    Params& operator=(const Params& other);
    ~Params();

    // Both reject an index below 0, not below nummics, or above 99.
    void getMicCoordinate(int index, float* x, float* y, float* z) const;
    void setMicCoordinate(int index, float x, float y, float z);

    // Stores numins and then nummics + numrefs channel indices (int arguments) into chorder.
    void setChannelOrder(int numins, ...);

    // Replaces one of the five string fields (fe_in_path, fe_out_path, bf_model_base,
    // ns_model_base, vad_model_base) by an owned copy of `value`, or by null.
    void setString(char** field, const char* value);

    // Lists every setting in configuration-file syntax, grouped into commented sections.
    void print() const;
    void print(std::FILE* out) const;

    // The name of the first float setting (in key order, the frequency masks included, the
    // microphone coordinates not) that holds NaN or an infinity, or null when all are finite.
    // `value` receives the offending value.
    const char* firstNonFinite(float* value) const;

  private:
    struct CopyTag {};
    Params(const detail::ParamsFields& fields, CopyTag);
    void readFile(const char* path);
    void parseLine(const char* line);
    void readMicCoordinates(std::FILE* file);
    bool* ownerFlag(char** field);
    void freeStrings();
};

}  // namespace velmora
