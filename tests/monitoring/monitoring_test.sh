#!/usr/bin/env bash
# Usage: monitoring_test.sh <source dir>
#
# The monitoring files that ship: promtool checks the alerting rules and
# runs their tests (each alert fires on made-up relays, idle and busy ones
# stay quiet); the dashboard parses, each of its queries parses as PromQL,
# and neither names a metric that docs/monitoring.md does not list.
set -euo pipefail
src=$(cd "${1:?usage: monitoring_test.sh <source dir>}" && pwd)
mon=$src/monitoring
fail() {
  echo "monitoring_test: $*" >&2
  exit 1
}
command -v python3 >/dev/null || fail "python3 not found (scripts/install-deps.sh installs it)"
promtool=$("$src/scripts/get-promtool.sh") || fail "no promtool (scripts/get-promtool.sh failed, above)"
work=$(mktemp -d "${TMPDIR:-/tmp}/monitoring-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$promtool" check rules "$mon/tarnwick-alerts.yml" || fail "promtool check rules tarnwick-alerts.yml"
(cd "$mon" && "$promtool" test rules tarnwick-alerts.test.yml) || fail "promtool test rules tarnwick-alerts.test.yml"

# The dashboard's queries as recording rules (JSON is YAML), with Grafana's
# variables filled in, so that promtool parses each one.
python3 - "$mon/tarnwick-dashboard.json" >"$work/dashboard-rules.yml" <<'PY' || fail "tarnwick-dashboard.json: see above"
import json, sys
d = json.load(open(sys.argv[1]))
for v in ("datasource", "job", "instance"):
    assert v in [t["name"] for t in d["templating"]["list"]], "no variable " + v
exprs = [t["expr"] for p in d["panels"] for t in p.get("targets", [])]
assert exprs, "no queries"
fill = {"$__rate_interval": "2m", "$job": "tarnwick", "$instance": ".+"}
rules = []
for i, e in enumerate(exprs):
    for k, v in fill.items():
        e = e.replace(k, v)
    assert "$" not in e, "a variable the dashboard does not define: " + e
    rules.append({"record": "dashboard:query_%d" % i, "expr": e})
print(json.dumps({"groups": [{"name": "dashboard", "rules": rules}]}, indent=1))
PY
"$promtool" check rules "$work/dashboard-rules.yml" || fail "a dashboard query does not parse (above)"

# The metric names: docs/monitoring.md's table is the list.
listed=$(grep -o '^| `tarnwick_[a-z_]*`' "$src/docs/monitoring.md" | grep -o 'tarnwick_[a-z_]*' | sort -u)
[ "$(wc -l <<<"$listed")" -ge 20 ] || fail "docs/monitoring.md lists only: $listed"
used=$(grep -ho 'tarnwick_[a-z_]*' "$mon"/tarnwick-alerts.yml "$mon"/tarnwick-alerts.test.yml "$mon"/tarnwick-dashboard.json | sort -u)
unknown=$(comm -23 <(echo "$used") <(echo "$listed"))
[ -z "$unknown" ] || fail "not in the list of metrics in docs/monitoring.md: $(echo $unknown)"
echo "monitoring_test: OK ($(wc -l <<<"$used") metric names, all listed)"
