#include "plan_load.h"

#include <map>
#include <utility>

#include "exit_status.h"
#include "image_digest.h"
#include "image_file.h"
#include "plan_file.h"
#include "safe_text.h"

namespace {

constexpr std::size_t kMaxPlanBytes = std::size_t{16} * 1024 * 1024;

bool IsAbsolute(const std::string& path) {
    const bool rooted = !path.empty() && (path[0] == '/' || path[0] == '\\');
    const bool drive = path.size() >= 2 && path[1] == ':';
    return rooted || drive;
}

// Images named in a plan are found beside it, wherever the loader was started.
std::string BesidePlan(const std::string& planPath, const std::string& image) {
    const auto slash = planPath.find_last_of("/\\");
    if (IsAbsolute(image) || slash == std::string::npos) {
        return image;
    }
    return planPath.substr(0, slash + 1) + image;
}

bool ReadText(const std::string& path, std::string& text, std::string& error) {
    CPlanFile file;
    std::string reason;
    if (!file.Open(path, CPlanFile::Mode::Read, reason)) {
        error = "Failed to open the plan '" + path + "': " + reason;
        return false;
    }
    if (!file.ReadAll(kMaxPlanBytes, text, reason)) {
        error = "Failed to read the plan '" + path +
                "': " + (reason.empty() ? "it is larger than 16 MiB; is it a plan?" : reason);
        return false;
    }
    return true;
}

// The image at `path` with its SHA-256, read once for all the rows that name it; `own`: the row
// names it (else it is the command line's). Nothing, with `load` saying why, when it cannot be.
std::optional<PlanImage> ReadPlanImage(const std::string& path, bool own,
                                       const std::string& planPath, const PlanRow& row,
                                       PlanLoad& load) {
    ImageFile image = OpenImage(path);
    if (!image.error.empty()) {
        // The command line's image fails as it does without a plan.
        load.exitStatus = own ? exit_status::kUsage : exit_status::kImage;
        load.error = own ? planPath + " line " + std::to_string(row.line) + ", column " +
                               std::to_string(row.imageColumn) + " (image): " + image.error
                         : image.error;
        return std::nullopt;
    }
    PlanImage planned;
    planned.path = path;
    planned.sha256 = Sha256Hex(image.bytes);
    if (planned.sha256.empty()) {
        load.exitStatus = exit_status::kImage;
        load.error = "Failed to compute the SHA-256 of the image '" + path +
                     "' for the report: the system's hash function failed";
        return std::nullopt;
    }
    planned.bytes = std::move(image.bytes);
    return planned;
}

}  // namespace

PlanLoad LoadPlan(const std::string& planPath, const std::string& defaultImage, bool noSwitch) {
    PlanLoad load;
    load.exitStatus = exit_status::kUsage;
    if (const auto control = FindControlCharacter(defaultImage)) {
        // The report names each head's image: its lines must stay one line each.
        load.error = "IMAGE: a control character (" + ControlCharacterName(*control) +
                     ") in the name '" + PrintableText(defaultImage) +
                     "': with --plan the image's name goes into the report; rename the file";
        return load;
    }
    std::string text;
    if (!ReadText(planPath, text, load.error)) {
        return load;
    }
    PlanRules rules;
    rules.noSwitch = noSwitch;
    rules.busOf = PlanBusName;
    auto rows = ParsePlan(text, planPath, rules, load.error);
    if (!rows) {
        return load;
    }
    FleetPlan plan;
    std::map<std::string, std::size_t> indexOf;
    for (PlanRow& row : *rows) {
        const bool own = !row.image.empty();
        if (!own && defaultImage.empty()) {
            load.error = planPath + " line " + std::to_string(row.line) +
                         ": no image: name one in an image column or give IMAGE on the command "
                         "line";
            return load;
        }
        row.image = own ? row.image : defaultImage;
        const std::string path = own ? BesidePlan(planPath, row.image) : defaultImage;
        const auto known = indexOf.find(path);
        if (known != indexOf.end()) {
            row.imageIndex = known->second;
            continue;
        }
        auto planned = ReadPlanImage(path, own, planPath, row, load);
        if (!planned) {
            return load;
        }
        row.imageIndex = plan.images.size();
        indexOf[path] = row.imageIndex;
        plan.images.push_back(std::move(*planned));
    }
    plan.rows = std::move(*rows);
    load.plan = std::move(plan);
    load.exitStatus = exit_status::kSuccess;
    return load;
}
