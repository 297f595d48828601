"""A real Prometheus (Debian's) scraping brevant-dashboard, with its token, during a real render,
with the alert rules that ship with the service loaded."""

import json
import os
import subprocess
import unittest
import urllib.parse
import urllib.request

from farm import SOURCE, FarmTest, Render, frames_job, free_port, wait_until

RULES = os.path.join(SOURCE, "farm", "dashboard", "prometheus", "brevant-rules.yml")


class PrometheusTest(FarmTest):
    def test_prometheus_scrapes_a_render_and_loads_the_alert_rules(self):
        dashboard = self.dashboard("--token", "scrape-secret")
        port = free_port()
        config = self.stack.file("prometheus.yml", {  # JSON is YAML
            "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
            "rule_files": [RULES],
            "scrape_configs": [{"job_name": "brevant", "authorization": {"credentials": "scrape-secret"},
                                "static_configs": [{"targets": [f"127.0.0.1:{dashboard.port}"]}]}]})
        self.stack.spawn(["/usr/bin/prometheus", f"--config.file={config}", f"--web.listen-address=127.0.0.1:{port}",
                          f"--storage.tsdb.path={os.path.join(self.stack.directory, 'tsdb')}"], log="prometheus.log")

        def api(path, **query):
            url = f"http://127.0.0.1:{port}/api/v1/{path}?{urllib.parse.urlencode(query)}"
            with urllib.request.urlopen(url, timeout=5) as response:
                return json.load(response)["data"]

        def value(expression):
            result = api("query", query=expression)["result"]
            return float(result[0]["value"][1]) if result else None
        wait_until(lambda: value('up{job="brevant"}') == 1, 30, "Prometheus to scrape the dashboard with its token")

        # Item 1 fails at its third frame, item 2 renders its 16; a project name longer than a label's
        # 64 bytes, with quotes and two-byte characters, is cut short to a name of its own.
        project = 'Épisode "12" ' + "é" * 60
        job = frames_job(4, 16, project=project)
        job["items"][0]["fail"] = {"atFrame": 3, "status": 5}
        self.assertEqual(Render(self.stack, self.broker, job, "render-p", fps=8).wait(), 3)
        failed = wait_until(lambda: api("query", query='brevant_items_failed_total{project=~"Épisode.*"}')["result"], 15,
                            "the failed item counted")
        label = failed[0]["metric"]["project"]
        self.assertEqual(float(failed[0]["value"][1]), 1)
        self.assertRegex(label, '^Épisode "12" é{20,}~[0-9a-f]{8}$')
        self.assertLessEqual(len(label.encode()), 64)
        item = f'machine="render-p",project={json.dumps(label, ensure_ascii=False)},item="2"'
        wait_until(lambda: value(f"brevant_frames_rendered_total{{{item}}}") == 16, 10, "item 2's 16 frames")
        # Scraped while the host ran: up then, offline now.
        self.assertEqual(value('max_over_time(brevant_machine_up{machine="render-p"}[5m])'), 1)
        wait_until(lambda: value('brevant_machine_up{machine="render-p"}') == 0, 10, "render-p scraped offline")

        status, _, scrape = dashboard.request("/metrics")
        self.assertEqual(status, 200)
        lint = subprocess.run(["/usr/bin/promtool", "check", "metrics"], input=scrape, capture_output=True, timeout=30)
        self.assertEqual((lint.returncode, lint.stdout + lint.stderr), (0, b""))

        def rules():
            groups = api("rules")["groups"]
            return [(rule["name"], rule["health"]) for group in groups for rule in group["rules"]]
        names = ["BrevantMachineLostDuringRender", "BrevantItemStalled", "BrevantDiskWillFill",
                 "BrevantDashboardBrokerDisconnected", "BrevantPublisherDroppingMessages", "BrevantItemsFailing"]
        wait_until(lambda: rules() == [(name, "ok") for name in names], 15, "the rules loaded and evaluated")


if __name__ == "__main__":
    unittest.main()
