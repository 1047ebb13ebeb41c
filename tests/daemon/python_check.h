// Checks made by the parsers the monitoring answers are read with in the
// field: Python's json module, and the metric scrapers' own parser as Debian
// packages it (python3-prometheus-client). The script reads the text on its
// standard input and prints what the test compares.
#pragma once

#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/child_process.h"

namespace vavevard::test {

inline constexpr const char *kPython = "/usr/bin/python3";

inline bool python_available() { return ::access(kPython, X_OK) == 0; }

struct PythonResult {
    int status = -1;
    std::string out, err;
};

inline PythonResult run_python(const std::string &script, const std::string &input) {
    vavevar::test::ChildProcess child(kPython, {"-c", script}, vavevar::test::ChildProcess::environment_with({}),
                                      true);
    bool written = child.write_stdin(input);
    child.close_stdin();
    PythonResult r;
    r.status = child.wait(20000);
    if (!written) r.status = -2;
    r.out = child.stdout_;
    r.err = child.stderr_;
    return r;
}

// Prints "path=value" for every leaf of the JSON document (the path's
// parts joined by dots, list items by index; the value as JSON, in ASCII);
// fails on anything that is not strict JSON in UTF-8, or an object with a
// key twice.
inline constexpr const char *kJsonLeaves = R"(
import json, sys
def strict(name):
    raise ValueError('not JSON: ' + name)
def once(pairs):
    keys = [k for k, v in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError('a key twice: %r' % keys)
    return dict(pairs)
d = json.loads(sys.stdin.buffer.read().decode('utf-8'), parse_constant=strict, object_pairs_hook=once)
def walk(v, path):
    if isinstance(v, dict):
        for k in v: walk(v[k], path + [k])
    elif isinstance(v, list):
        for i, x in enumerate(v): walk(x, path + [str(i)])
    else:
        print('.'.join(path) + '=' + json.dumps(v))
walk(d, [])
)";

// The leaves of a JSON document as kJsonLeaves prints them; a failure of the
// test when the document is not strict JSON.
inline std::set<std::string> json_leaves(const std::string &json) {
    auto r = run_python(kJsonLeaves, json);
    EXPECT_EQ(r.status, 0) << r.err << "\n" << json.substr(0, 2000);
    std::set<std::string> leaves;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) leaves.insert(line);
    return leaves;
}

// Prints "name{labels} value type" for each sample of the metrics text,
// sorted; fails on text the scrapers' parser refuses.
inline constexpr const char *kMetricSamples = R"(
import sys
from prometheus_client.parser import text_string_to_metric_families
lines = []
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ','.join('%s=%s' % kv for kv in sorted(s.labels.items()))
        lines.append('%s{%s} %s %s' % (s.name, labels, repr(s.value), family.type))
print('\n'.join(sorted(lines)))
)";

}  // namespace vavevard::test
