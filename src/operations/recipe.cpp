#include "operations/recipe.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "filters/filter_framework.h"
#include "image/atomic_file.h"
#include "operations/fusion_source.h"
#include "operations/operation_registry.h"
#include "tone/fused_levels.h"

namespace sv {

using nlohmann::json;

bool RecipeStep::operator==(const RecipeStep& o) const {
    if (operation != o.operation || values != o.values || neutralSample != o.neutralSample) return false;
    for (std::size_t k = 0; k < 3; ++k) {
        const BalanceRange &a = balance.ranges[k], &b = o.balance.ranges[k];
        if (a.ticked != b.ticked || a.sample != b.sample || a.target != b.target) return false;
    }
    return true;
}

static bool sameLocalContrast(const LocalContrastParams& a, const LocalContrastParams& b) {
    return a.enabled == b.enabled && a.compressionPosition == b.compressionPosition &&
           a.detailPosition == b.detailPosition && a.radiusPosition == b.radiusPosition;
}

bool Recipe::operator==(const Recipe& o) const {
    return autoAlign == o.autoAlign && deghost == o.deghost && ghost.reference == o.ghost.reference &&
           ghost.strength == o.ghost.strength && mode == o.mode && tone == o.tone && curveMode == o.curveMode &&
           curvePoints == o.curvePoints && fusion.contrastPosition == o.fusion.contrastPosition &&
           fusion.saturationPosition == o.fusion.saturationPosition &&
           fusion.exposurePosition == o.fusion.exposurePosition && sameLocalContrast(localContrast, o.localContrast) &&
           steps == o.steps && save == o.save;
}

namespace {

// The keys of the merge settings, as the window's settings and the command line's report name them.
const std::string kAutoAlignKey(kAutoAlignParameters[0].key);
const std::string kDeghostKey(kGhostRemovalParameters[0].key);
// The merge section holds both Step 1 tools, so the ghost settings carry the tool in their names.
constexpr const char* kGhostStrengthKey = "ghostStrength";
constexpr const char* kGhostReferenceKey = "ghostReference";
constexpr const char* kRangeNames[3] = {"shadows", "midtones", "highlights"};

const char* formatName(SaveFormat format) {
    switch (format) {
        case SaveFormat::Tiff: return "tiff";
        case SaveFormat::Jpeg: return "jpeg";
        case SaveFormat::Bmp: return "bmp";
        case SaveFormat::Png: return "png";
    }
    return "tiff";
}

json sampleJson(const Rgb& sample) { return json::array({sample[0], sample[1], sample[2]}); }

// Positions of a descriptor list as JSON members: numbers, a choice by its name.
void putValues(json& object, ParameterList parameters, const ParameterValues& values) {
    for (const ParameterDescriptor& d : parameters) {
        const int position = positionOf(parameters, values, d.key);
        const int index = position - d.minimum;
        if (d.isChoice() && index >= 0 && index < static_cast<int>(d.choices.size())) {
            object[std::string(d.key)] = std::string(d.choices[static_cast<std::size_t>(index)]);
        } else {
            object[std::string(d.key)] = position;
        }
    }
}


// ------------------------------------------------------------------ reading

// The first fault found while reading; every check goes through here so that each names its key.
struct Reader {
    std::optional<Message> fault;

    bool fail(MessageId id, const std::string& detail) {
        if (!fault) fault = Message(id, 0, detail);
        return false;
    }
    bool unknown(const std::string& key) { return fail(MessageId::RecipeUnknownKey, key); }
    bool wrongType(const std::string& key, const char* expected) {
        return fail(MessageId::RecipeWrongType, key + " (" + expected + ")");
    }
    bool outOfRange(const std::string& key, long long low, long long high) {
        return fail(MessageId::RecipeOutOfRange, key + " (" + std::to_string(low) + ".." + std::to_string(high) + ")");
    }

    bool object(const json& j, const std::string& key) { return j.is_object() || wrongType(key, "object"); }

    // Every member of `j` must be one of `keys`.
    bool onlyKeys(const json& j, const std::string& path, std::initializer_list<std::string_view> keys) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (std::string_view k : keys) known = known || it.key() == k;
            if (!known) return unknown(path + it.key());
        }
        return true;
    }

    bool integer(const json& j, const std::string& key, long long low, long long high, int& out) {
        if (!j.is_number_integer()) return wrongType(key, "whole number");
        const long long v = j.get<long long>();
        if (j.is_number_unsigned() && j.get<unsigned long long>() > static_cast<unsigned long long>(high))
            return outOfRange(key, low, high);
        if (v < low || v > high) return outOfRange(key, low, high);
        out = static_cast<int>(v);
        return true;
    }

    bool boolean(const json& j, const std::string& key, bool& out) {
        if (!j.is_boolean()) return wrongType(key, "true or false");
        out = j.get<bool>();
        return true;
    }

    bool text(const json& j, const std::string& key, std::string& out) {
        if (!j.is_string()) return wrongType(key, "text");
        out = j.get<std::string>();
        return true;
    }

    // A choice by one of its names.
    bool choice(const json& j, const std::string& key, std::initializer_list<std::string_view> names, int& out) {
        std::string name;
        if (!text(j, key, name)) return false;
        int i = 0;
        for (std::string_view n : names) {
            if (n == name) {
                out = i;
                return true;
            }
            ++i;
        }
        std::string list;
        for (std::string_view n : names) list += (list.empty() ? "" : ", ") + std::string(n);
        return fail(MessageId::RecipeOutOfRange, key + " (" + list + ")");
    }

    // A member by a descriptor: a position in range, or a choice's name.
    bool described(const json& j, const std::string& key, const ParameterDescriptor& d, int& out) {
        if (d.isChoice()) {
            std::string name;
            if (!text(j, key, name)) return false;
            const int index = choiceIndex(d, name);
            if (index < 0) {
                std::string list;
                for (std::string_view n : d.choices) list += (list.empty() ? "" : ", ") + std::string(n);
                return fail(MessageId::RecipeOutOfRange, key + " (" + list + ")");
            }
            out = d.minimum + index;
            return true;
        }
        return integer(j, key, d.minimum, d.maximum, out);
    }

    // Members of `j` by a descriptor list; `skip` names members read elsewhere.
    bool values(const json& j, const std::string& path, ParameterList parameters, ParameterValues& out,
                std::initializer_list<std::string_view> skip = {}) {
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool skipped = false;
            for (std::string_view s : skip) skipped = skipped || it.key() == s;
            if (skipped) continue;
            const ParameterDescriptor* d = findParameter(parameters, it.key());
            if (!d) return unknown(path + it.key());
            int position = 0;
            if (!described(it.value(), path + it.key(), *d, position)) return false;
            out[it.key()] = position;
        }
        return true;
    }

    // A sampled colour: three numbers 0..1.
    bool sample(const json& j, const std::string& key, Rgb& out) {
        if (!j.is_array() || j.size() != 3) return wrongType(key, "three numbers");
        for (std::size_t c = 0; c < 3; ++c) {
            if (!j[c].is_number()) return wrongType(key, "three numbers");
            const double v = j[c].get<double>();
            if (!(v >= 0.0 && v <= 1.0)) return fail(MessageId::RecipeOutOfRange, key + " (0..1)");
            out[c] = static_cast<float>(v);
        }
        return true;
    }

    bool colour(const json& j, const std::string& key, std::array<int, 3>& out) {
        if (!j.is_array() || j.size() != 3) return wrongType(key, "three whole numbers");
        for (std::size_t c = 0; c < 3; ++c)
            if (!integer(j[c], key, 0, 255, out[c])) return false;
        return true;
    }

    bool merge(const json& j, Recipe& r) {
        const std::string p = "merge.";
        if (!object(j, "merge") ||
            !onlyKeys(j, p, {kAutoAlignKey, kDeghostKey, kGhostStrengthKey, kGhostReferenceKey}))
            return false;
        if (j.contains(kAutoAlignKey) && !boolean(j[kAutoAlignKey], p + kAutoAlignKey, r.autoAlign)) return false;
        if (j.contains(kDeghostKey) && !boolean(j[kDeghostKey], p + kDeghostKey, r.deghost)) return false;
        const ParameterDescriptor& strength = kGhostRemovalParameters[1];
        if (j.contains(kGhostStrengthKey) &&
            !integer(j[kGhostStrengthKey], p + kGhostStrengthKey, strength.minimum, strength.maximum, r.ghost.strength))
            return false;
        if (j.contains(kGhostReferenceKey)) {
            int reference = 1;
            if (!integer(j[kGhostReferenceKey], p + kGhostReferenceKey, 1, kMaxExposures, reference)) return false;
            r.ghost.reference = reference - 1;
        }
        return true;
    }

    bool curvePoints(const json& j, const std::string& key, std::vector<CurvePoint>& out) {
        if (!j.is_array()) return wrongType(key, "list of [x, y]");
        std::vector<CurvePoint> points;
        for (std::size_t i = 0; i < j.size(); ++i) {
            const std::string at = key + "[" + std::to_string(i) + "]";
            if (!j[i].is_array() || j[i].size() != 2) return wrongType(at, "[x, y]");
            CurvePoint point;
            if (!integer(j[i][0], at, 0, 198, point.X) || !integer(j[i][1], at, 0, 199, point.Y)) return false;
            points.push_back(point);
        }
        if (!points.empty()) {
            ToneCurve trial(1.0f);
            std::string reason;
            if (!trial.setMovablePoints(points, reason)) return fail(MessageId::RecipeOutOfRange, key + ": " + reason);
        }
        out = std::move(points);
        return true;
    }

    bool tone(const json& j, Recipe& r) {
        const std::string p = "tone.";
        if (!object(j, "tone")) return false;
        for (auto it = j.begin(); it != j.end(); ++it) {
            const std::string& key = it.key();
            const json& v = it.value();
            if (key == "mode") {
                int mode = 0;
                if (!choice(v, p + key, {"render", "fusion"}, mode)) return false;
                r.mode = static_cast<RecipeMode>(mode);
            } else if (key == kCurveModeParameter.key) {
                int mode = 0;
                if (!described(v, p + key, kCurveModeParameter, mode)) return false;
                r.curveMode = static_cast<CurveMode>(mode);
            } else if (key == "points") {
                if (!curvePoints(v, p + key, r.curvePoints)) return false;
            } else if (key == "fusion") {
                ParameterValues weights = fusionValues(r.fusion);
                if (!object(v, p + key) || !values(v, p + key + ".", kFusionParameters, weights)) return false;
                r.fusion = fusionParams(weights);
            } else if (key == "localContrast") {
                if (!object(v, p + key)) return false;
                if (v.contains("enabled") && !boolean(v["enabled"], p + key + ".enabled", r.localContrast.enabled))
                    return false;
                ParameterValues settings = localContrastValues(r.localContrast);
                if (!values(v, p + key + ".", kLocalContrastParameters, settings, {"enabled"})) return false;
                const bool enabled = r.localContrast.enabled;
                r.localContrast = localContrastParams(settings);
                r.localContrast.enabled = enabled;
            } else {
                const ParameterDescriptor* d = findParameter(kRenderParameters, key);
                if (!d) return unknown(p + key);
                int position = 0;
                if (!described(v, p + key, *d, position)) return false;
                r.tone[key] = position;
            }
        }
        return true;
    }

    bool step(const json& j, const std::string& path, RecipeStep& s) {
        if (!object(j, path)) return false;
        if (!j.contains("operation")) return fail(MessageId::RecipeMissingKey, path + ".operation");
        std::string name;
        if (!text(j["operation"], path + ".operation", name)) return false;
        const Operation* op = findOperation(name);
        if (!op || op->kind != OperationKind::FilterLike) {
            std::string list;
            for (const Operation& o : operationRegistry())
                if (o.kind == OperationKind::FilterLike) list += (list.empty() ? "" : ", ") + std::string(o.name);
            return fail(MessageId::RecipeOutOfRange, path + ".operation (" + list + ")");
        }
        s.operation = op->id;
        const std::string p = path + ".";
        if (op->id == OperationId::Neutral) {
            if (!onlyKeys(j, p, {"operation", "sample"})) return false;
            if (!j.contains("sample")) return fail(MessageId::RecipeMissingKey, p + "sample");
            return sample(j["sample"], p + "sample", s.neutralSample);
        }
        if (op->id == OperationId::Balance) {
            if (!onlyKeys(j, p, {"operation", kRangeNames[0], kRangeNames[1], kRangeNames[2]})) return false;
            for (std::size_t k = 0; k < 3; ++k) {
                if (!j.contains(kRangeNames[k])) continue;
                const json& row = j[kRangeNames[k]];
                const std::string rp = p + kRangeNames[k];
                BalanceRange& range = s.balance.ranges[k];
                if (!object(row, rp) || !onlyKeys(row, rp + ".", {"sample", "target"})) return false;
                if (!row.contains("sample")) return fail(MessageId::RecipeMissingKey, rp + ".sample");
                if (!row.contains("target")) return fail(MessageId::RecipeMissingKey, rp + ".target");
                if (!sample(row["sample"], rp + ".sample", range.sample) ||
                    !colour(row["target"], rp + ".target", range.target))
                    return false;
                range.ticked = true;
            }
            return true;
        }
        s.values = defaultValues(op->parameters);
        return values(j, p, op->parameters, s.values, {"operation"});
    }

    bool save(const json& j, RecipeSave& s) {
        const std::string p = "save.";
        if (!object(j, "save") || !onlyKeys(j, p, {"format", "bits", "compression", "quality", "metadata"}))
            return false;
        if (!j.contains("format")) return fail(MessageId::RecipeMissingKey, p + "format");
        int format = 0;
        if (!choice(j["format"], p + "format", {"tiff", "jpeg", "bmp", "png"}, format)) return false;
        s.format = static_cast<SaveFormat>(format + 1);
        s.metadata = s.format == SaveFormat::Jpeg || s.format == SaveFormat::Png;
        if (j.contains("bits")) {
            if (!integer(j["bits"], p + "bits", 8, 16, s.bits)) return false;
            if (s.bits != 8 && s.bits != 16) return fail(MessageId::RecipeOutOfRange, p + "bits (8, 16)");
        }
        if (j.contains("compression")) {
            int c = 0;
            if (!choice(j["compression"], p + "compression", {"none", "deflate"}, c)) return false;
            s.compression = c == 0 ? TiffCompressionChoice::None : TiffCompressionChoice::Deflate;
        }
        if (j.contains("quality") && !integer(j["quality"], p + "quality", kJpegQualityMin, kJpegQualityMax, s.quality))
            return false;
        if (j.contains("metadata") && !boolean(j["metadata"], p + "metadata", s.metadata)) return false;
        return true;
    }

    bool recipe(const json& j, Recipe& r) {
        if (!j.is_object()) return wrongType("(the whole file)", "object");
        if (!j.contains(kRecipeVersionKey)) return fail(MessageId::RecipeMissingKey, kRecipeVersionKey);
        const json& version = j[kRecipeVersionKey];
        if (!version.is_number_integer() || version.get<long long>() != kRecipeVersion)
            return fail(MessageId::RecipeVersion, version.dump());
        if (!onlyKeys(j, "", {kRecipeVersionKey, "merge", "tone", "operations", "save"})) return false;
        if (j.contains("merge") && !merge(j["merge"], r)) return false;
        if (j.contains("tone") && !tone(j["tone"], r)) return false;
        if (j.contains("operations")) {
            const json& list = j["operations"];
            if (!list.is_array()) return wrongType("operations", "list");
            for (std::size_t i = 0; i < list.size(); ++i) {
                RecipeStep s;
                if (!step(list[i], "operations[" + std::to_string(i) + "]", s)) return false;
                r.steps.push_back(std::move(s));
            }
        }
        if (j.contains("save")) {
            RecipeSave s;
            if (!save(j["save"], s)) return false;
            r.save = s;
        }
        return true;
    }
};

// Carries an outer gauge across the stages of a recipe: each stage sets its own maximum and
// advances against it; the outer gauge moves through that stage's share.
class StagedProgress final : public ProgressSink {
public:
    StagedProgress(ProgressSink& outer, int stages, std::int64_t share) : outer_(outer), share_(share) {
        beginProgress(outer_, static_cast<std::int64_t>(stages) * share_);
    }
    void nextStage() {
        const std::lock_guard<std::mutex> lock(shownMutex_);
        base_ += share_;
        done_.store(0);
        shown_ = base_;
        outer_.setPosition(base_);
    }
    void setMaximum(std::int64_t maximum) override { maximum_.store(maximum > 0 ? maximum : 1); }
    void setPosition(std::int64_t position) override {
        done_.store(position);
        show(position);
    }
    void advance(std::int64_t steps) override { show(done_.fetch_add(steps) + steps); }
    void setTextVisible(bool) override {}

private:
    // Workers advance at once: the outer gauge is told in order and only forward, or a later
    // position could reach it before an earlier one.
    void show(std::int64_t done) {
        const std::int64_t maximum = maximum_.load();
        const std::int64_t within = std::min(done, maximum) * share_ / maximum;
        const std::lock_guard<std::mutex> lock(shownMutex_);
        if (base_ + within <= shown_) return;
        shown_ = base_ + within;
        outer_.setPosition(shown_);
    }
    ProgressSink& outer_;
    std::int64_t share_;
    std::int64_t base_ = 0;
    std::atomic<std::int64_t> maximum_{1};
    std::atomic<std::int64_t> done_{0};
    std::mutex shownMutex_;
    std::int64_t shown_ = 0;
};

Failure processWhole(Project& project, const Recipe& recipe, const GhostRemovalState& ghosts, RenderHistogram& histogram,
                     ProgressSink& progress) {
    const Region whole = project.stackBuffer.bounds();
    if (recipe.mode == RecipeMode::Fusion) {
        FileFusionSource source = projectFusionSource(project, DecodeHooks{}, ghosts);
        beginProgress(progress, fusionProgressSteps(project.exposureCount, project.imageHeight) + project.imageHeight);
        const FusionOutcome outcome = fusePicture(source, recipe.fusion, project.processedBuffer, progress);
        if (!outcome.ok()) {
            if (outcome.status == FusionStatus::NotEnoughMemory) return Message(MessageId::NotEnoughMemory);
            if (source.failure()) return *source.failure();
            return Message(MessageId::CannotReadFile, 0,
                           outcome.exposure >= 0 && outcome.exposure < project.exposureCount
                               ? project.exposures[static_cast<std::size_t>(outcome.exposure)].path
                               : std::string());
        }
        fusedLevels(project.processedBuffer, 0, 0, whole, positionOf(kRenderParameters, recipe.tone, "white"),
                    positionOf(kRenderParameters, recipe.tone, "black"), project.processedBuffer, histogram, progress);
        return std::nullopt;
    }
    const RenderParams params = recipeRenderParams(recipe);
    if (params.localContrast.enabled) {
        beginProgress(progress, 2ll * project.imageHeight);
        const auto model = buildLocalContrastModel(project.stackBuffer, project.stackMax,
                                                   params.localContrast.radiusPosition, progress);
        renderRegion(project.stackBuffer, project.stackMax, whole, params, model, project.processedBuffer, histogram,
                     progress);
    } else {
        beginProgress(progress, project.imageHeight);
        operation(OperationId::Render).run(OperationTarget{project, &histogram}, whole, params, progress);
    }
    return std::nullopt;
}

}  // namespace

// ------------------------------------------------------------------ writing

std::string recipeJson(const Recipe& r) {
    json j = json::object();
    j[kRecipeVersionKey] = kRecipeVersion;
    j["merge"] = {{kAutoAlignKey, r.autoAlign},
                  {kDeghostKey, r.deghost},
                  {kGhostReferenceKey, r.ghost.reference + 1},
                  {kGhostStrengthKey, r.ghost.strength}};
    json tone = json::object();
    tone["mode"] = r.mode == RecipeMode::Fusion ? "fusion" : "render";
    putValues(tone, kRenderParameters, r.tone);
    tone[std::string(kCurveModeParameter.key)] =
        std::string(kCurveModeParameter.choices[static_cast<std::size_t>(r.curveMode)]);
    json points = json::array();
    for (const CurvePoint& p : r.curvePoints) points.push_back({p.X, p.Y});
    tone["points"] = points;
    json fusion = json::object();
    putValues(fusion, kFusionParameters, fusionValues(r.fusion));
    tone["fusion"] = fusion;
    json local = json::object();
    local["enabled"] = r.localContrast.enabled;
    putValues(local, kLocalContrastParameters, localContrastValues(r.localContrast));
    tone["localContrast"] = local;
    j["tone"] = tone;

    json steps = json::array();
    for (const RecipeStep& s : r.steps) {
        const Operation& op = operation(s.operation);
        json step = json::object();
        step["operation"] = std::string(op.name);
        if (s.operation == OperationId::Neutral) {
            step["sample"] = sampleJson(s.neutralSample);
        } else if (s.operation == OperationId::Balance) {
            for (std::size_t k = 0; k < 3; ++k) {
                const BalanceRange& range = s.balance.ranges[k];
                if (!range.ticked) continue;
                step[kRangeNames[k]] = {{"sample", sampleJson(range.sample)},
                                        {"target", {range.target[0], range.target[1], range.target[2]}}};
            }
        } else {
            putValues(step, op.parameters, s.values);
        }
        steps.push_back(step);
    }
    j["operations"] = steps;

    if (r.save) {
        const RecipeSave& s = *r.save;
        json save = json::object();
        save["format"] = formatName(s.format);
        if (s.format == SaveFormat::Tiff || s.format == SaveFormat::Png) save["bits"] = s.bits;
        if (s.format == SaveFormat::Tiff)
            save["compression"] = s.compression == TiffCompressionChoice::None ? "none" : "deflate";
        if (s.format == SaveFormat::Jpeg) save["quality"] = s.quality;
        if (s.format != SaveFormat::Bmp) save["metadata"] = s.metadata;
        j["save"] = save;
    }
    // Floats are written with enough digits to come back as the same floats.
    return j.dump(2) + "\n";
}

Outcome<Recipe> parseRecipe(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        return Message(MessageId::RecipeNotJson, 0, e.what());
    }
    Reader reader;
    Recipe r;
    if (!reader.recipe(j, r)) return *reader.fault;
    return r;
}

Outcome<Recipe> readRecipe(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Message(MessageId::RecipeNotReadable, 0, path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return Message(MessageId::RecipeNotReadable, 0, path);
    return parseRecipe(text.str());
}

Failure writeRecipe(const std::string& path, const Recipe& recipe) {
    const std::string text = recipeJson(recipe);
    return writeFileAtomically(path, [&](std::FILE* f) { return std::fwrite(text.data(), 1, text.size(), f) == text.size(); });
}

// ------------------------------------------------------------------ applying

ParameterValues toneValues(const RenderParams& params) {
    const int positions[] = {params.gammaPosition, params.saturationPosition, params.whitePosition, params.blackPosition};
    static_assert(std::size(kRenderParameters) == std::size(positions), "one position per tone descriptor");
    ParameterValues values;
    for (std::size_t i = 0; i < std::size(positions); ++i) values[std::string(kRenderParameters[i].key)] = positions[i];
    return values;
}

RenderParams recipeRenderParams(const Recipe& recipe) {
    RenderParams params = renderParams(recipe.tone);
    ToneCurve curve(1.0f);
    curve.setCurveMode(recipe.curveMode);
    if (!recipe.curvePoints.empty()) {
        std::string reason;
        // Checked when the recipe was read.
        if (!curve.setMovablePoints(recipe.curvePoints, reason)) throw std::invalid_argument(reason);
    }
    params.curveTable = curve.curveTable();
    params.localContrast = recipe.localContrast;
    return params;
}

std::any recipeStepParams(const RecipeStep& step) {
    switch (step.operation) {
        case OperationId::Neutral: return OperationParams(step.neutralSample);
        case OperationId::Balance: return OperationParams(step.balance);
        default: return operation(step.operation).paramsFrom(step.values);
    }
}

Outcome<RecipeResult> applyRecipe(Project& project, const Recipe& recipe, const GhostRemovalState& ghosts,
                                  ProgressSink& progress) {
    if (project.exposureCount == 0 || !project.buffersAllocated) return Message(MessageId::NoPictureOpen);
    StagedProgress staged(progress, 1 + static_cast<int>(recipe.steps.size()), project.imageHeight);
    RecipeResult result;
    if (Failure failed = processWhole(project, recipe, ghosts, result.histogram, staged)) {
        endProgress(progress, project.imageHeight);
        return *failed;
    }
    project.wholeImageProcessed = true;
    const Region whole = project.processedBuffer.bounds();
    for (const RecipeStep& step : recipe.steps) {
        staged.nextStage();
        operation(step.operation).run(OperationTarget{project}, whole, recipeStepParams(step), staged);
        applyFilterOutput(project.processedBuffer, project.processedCopy);
    }
    endProgress(progress, project.imageHeight);
    return result;
}

}  // namespace sv
