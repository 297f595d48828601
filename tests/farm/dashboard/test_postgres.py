"""The job history on a real PostgreSQL server that this test starts: the history's own table of
cases run against it, and two dashboards sharing it beside one on SQLite, all fed by one broker."""

import os
import subprocess
import time
import unittest

from farm import BUILD, SOURCE, FarmTest, Postgres, Receiver, Render, wait_until


class PostgresTest(FarmTest):
    def setUp(self):
        super().setUp()
        self.postgres = Postgres(self.stack)

    def test_the_history_cases_on_postgres(self):
        tests = os.path.join(BUILD, "tests/farm/dashboard/dashboard_tests")
        run = subprocess.run([tests, "--gtest_filter=HistoryOn.*"], capture_output=True, text=True, timeout=120,
                             env={**os.environ, "BREVANT_TEST_POSTGRES": self.postgres.uri})
        self.assertEqual(run.returncode, 0, run.stdout[-4000:])
        passed = [line for line in run.stdout.splitlines() if line.startswith("[       OK ] HistoryOn.")]
        self.assertEqual(sum("/1 (" in line for line in passed), len(passed) / 2)  # each SQLite case, and on the server

    def test_two_dashboards_share_one_history_and_notify_once(self):
        receiver = Receiver(self.stack)
        shared = [self.dashboard("--client-id", f"shared-{n}", "--webhook", receiver.url, database=self.postgres.uri)
                  for n in (1, 2)]
        alone = self.dashboard("--client-id", "alone")
        render = lambda job: Render(self.stack, self.broker, os.path.join(SOURCE, "examples", job), "pg-1", fps=48).wait()  # noqa: E731
        self.assertEqual(render("failures.json"), 3)
        # The server away while a job ends: each dashboard keeps the job and writes it when it is back.
        self.postgres.stop()
        self.assertEqual(render("minimal.json"), 0)
        wait_until(lambda: shared[1].metric("brevant_dashboard_history_unwritten_jobs") == 1, 10, "the job kept")
        self.postgres.start()
        for dashboard in shared + [alone]:
            wait_until(lambda: dashboard.json("/api/jobs")["total"] == 2, 15, "both jobs in each dashboard's history")
        self.assertEqual(self.postgres.query("SELECT count(*) FROM jobs"), ["2"])

        def answers(dashboard):
            past = dashboard.json("/api/jobs?project=fail")["past"]
            return [{**job, "id": None} for job in past + [dashboard.json(f"/api/jobs/{job['id']}") for job in past]], \
                dashboard.json("/api/hours"), dashboard.request("/api/jobs.csv?outcome=failed")[2].split(b",", 1)[1]
        self.assertEqual(answers(shared[0]), answers(shared[1]))
        self.assertEqual(answers(shared[0]), answers(alone))
        failed = answers(alone)[0][1]["items"][0]
        self.assertEqual((failed["state"], failed["log"][-1]["message"]), ("failed", "Render failed"))

        # Each notification once, claimed in the database; without the database, at least once.
        wait_until(lambda: [b for b in receiver.events("jobDone") if b["project"] != "Failures"], 15, "the last job's")
        time.sleep(1)  # the other dashboard's copy, had it not lost the claim
        self.assertEqual(sorted(body["event"] for body in receiver.bodies if body.get("project") == "Failures"),
                         ["itemFailed", "itemStopped", "jobDone"])
        self.assertIn("Fails At Five", receiver.wait_for("itemFailed", item=1)["text"])


if __name__ == "__main__":
    unittest.main()
