// The Prometheus exposition of a model: metric families for prometheus-cpp
// (which does the text format and its escaping), and the text itself for
// the textfile and --once.
//
// Names follow the Prometheus conventions: the zpr_ prefix, base units
// (bytes, seconds, ratios 0..1), _total for counters, _timestamp_seconds
// for points in time, _info for metadata.  Per-job series carry pid
// (unique per collection whatever the records say), job_name and tool;
// the rest of a job's identity (backup type, orchestrator pid, path) is on
// zpr_job_info alone.  Last runs carry job_name and tool.  Label values are
// record texts as UTF-8.  No label is called job or instance.
#pragma once

#include <string>
#include <vector>

#include <prometheus/metric_family.h>

#include "exporter/model.h"

std::vector<prometheus::MetricFamily> exposition_families(const Model &model);

// The text exposition format of exposition_families(model).
std::string exposition_text(const Model &model);
