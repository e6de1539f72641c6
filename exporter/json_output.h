// The JSON document of a model, for scripts (--once --format json):
//   {"version": 1, "timestamp": <seconds>, "jobs": [...], "last_runs": [...],
//    "exporter": {...}}
// snake_case names, base units (bytes, seconds, ratios 0..1), null for a
// figure that is not known.  Texts are the records' as UTF-8.
#pragma once

#include <string>

#include "exporter/model.h"

inline constexpr int JSON_DOCUMENT_VERSION = 1;

// The document, indented, with a final newline.
std::string json_document(const Model &model);
