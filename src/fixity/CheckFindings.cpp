#include "fixity/CheckFindings.h"

#include <algorithm>

namespace hv::fixity {

bool IsDamage(FindingKind kind) { return kind == FindingKind::Changed || kind == FindingKind::Missing; }

bool IsError(FindingKind kind) {
    switch (kind) {
    case FindingKind::Unreadable:
    case FindingKind::ManifestUnreadable:
    case FindingKind::ManifestDamaged:
    case FindingKind::FolderUnreadable:
    case FindingKind::RecordFailed:
    case FindingKind::ChangedDuringCheck:
        return true;
    default:
        return false;
    }
}

void CheckResults::Add(FindingKind kind, const QByteArray& path, int error) {
    Finding finding;
    finding.Kind = kind;
    finding.Path = path;
    finding.Error = error;
    Findings.push_back(finding);
}

void CheckResults::Tell() const {
    if (Sink) Sink(Progress);
}

void CheckResults::Finish() {
    for (const Finding& finding : Findings) {
        if (IsError(finding.Kind)) ++Summary.Errors;
    }
    std::stable_sort(Findings.begin(), Findings.end(), [](const Finding& a, const Finding& b) {
        return a.Path != b.Path ? a.Path < b.Path : a.Line < b.Line;
    });
}

}  // namespace hv::fixity
