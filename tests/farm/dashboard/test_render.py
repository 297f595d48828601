"""brevant-dashboard following real brevant-host renders through the farm publisher and a real
mosquitto."""

import os
import unittest

from farm import SOURCE, Broker, EventStream, FarmTest, Receiver, Render, frames_job, wait_until


class RenderTest(FarmTest):
    def setUp(self):
        super().setUp()
        self.receiver = Receiver(self.stack)
        self.service = self.dashboard("--webhook", self.receiver.url)

    def test_api_metrics_and_history_during_after_a_render_and_after_a_restart(self):
        dashboard = self.service
        stream = EventStream(self.stack, dashboard)
        render = Render(self.stack, self.broker, os.path.join(SOURCE, "examples/demo.json"), "render-1", fps=24)

        # During: the machine renders, its frames count up in the API, the metrics and the stream.
        def rendering():
            machine = dashboard.machine("render-1")
            item = machine["job"]["items"][0]
            return machine["state"] == "online" and item["state"] == "rendering" and item["progress"]["framesDone"] >= 3 and machine
        machine = wait_until(rendering, 20, "render-1 rendering its first item")
        self.assertEqual((machine["job"]["project"], machine["job"]["items"][0]["name"]), ("Demo", "Main"))
        self.assertGreater(machine["job"]["items"][0]["progress"]["framesTotal"], 3)
        self.assertGreater(dashboard.metric("brevant_item_progress_ratio", machine="render-1", project="Demo", item="1"), 0)
        current = dashboard.json("/api/jobs")["current"]
        self.assertEqual([job["machine"] for job in current], ["render-1"])
        job_id = current[0]["id"]
        self.assertEqual(dashboard.json(f"/api/jobs/{job_id}")["state"], "rendering")

        # After: the job is in the history with its items, and a webhook said so.
        self.assertEqual(render.wait(), 0)
        done = self.receiver.wait_for("jobDone", machine="render-1")
        self.assertEqual((done["outcome"], done["jobId"]), ("done", job_id))
        self.assertIn("Demo", done["text"])
        wait_until(lambda: dashboard.machine("render-1")["state"] == "offline", 10, "render-1 offline after the host ended")
        self.assertEqual(dashboard.machine("render-1")["reason"], "shutdown")
        finished = dashboard.json(f"/api/jobs/{job_id}")
        self.assertEqual((finished["state"], finished["outcome"]), ("ended", "done"))
        self.assertEqual([(i["name"], i["state"], i["framesDone"] == i["framesTotal"] > 0) for i in finished["items"]],
                         [("Main", "done", True), ("Lower Third", "done", True)])
        self.assertEqual(self.receiver.events("machineOffline"), [])  # it went offline after the job, not during
        def tiles():
            return [t for e in stream.named("tiles") for t in e["tiles"] if t["machine"] == "render-1"]
        wait_until(lambda: tiles()[-1]["state"] == "offline", 5, "render-1's tile offline")
        counted = [t["done"] for t in tiles() if t["itemId"] == 1 and t["done"] is not None]
        self.assertGreater(len(counted), 1)
        self.assertEqual(counted, sorted(counted))
        self.assertTrue(all(t["ts"] > 0 for t in tiles() if t["ts"] is not None))

        # After a restart: the history is kept, and the retained topics bring the machine back.
        self.assertEqual(dashboard.stop(), 0)
        dashboard.start()
        self.assertEqual(dashboard.json(f"/api/jobs/{job_id}"), finished)
        self.assertEqual([job["id"] for job in dashboard.json("/api/jobs")["past"]], [job_id])
        wait_until(lambda: dashboard.machine("render-1")["job"]["state"] == "ended", 10, "render-1 from the retained topics")
        self.assertEqual(dashboard.json("/api/jobs")["current"], [])

    def test_jobs_rendered_while_the_dashboard_was_away_reach_its_history_through_its_session(self):
        # A studio's broker keeps the dashboard's session, on disk, across its own restart too: three
        # jobs begin and end while the dashboard is stopped, and each is in the history once it is
        # back. The frames (174, beyond the broker's bound of 100 queued messages) go at QoS 0 and
        # are not queued; what the history needs is at most 44 messages at QoS 1.
        self.broker = Broker(self.stack, persistent=True)
        dashboard = self.dashboard()
        self.assertEqual(dashboard.stop(), 0)
        jobs = [frames_job(60, 60, project="One"), os.path.join(SOURCE, "examples/failures.json"),
                frames_job(40, project="Three")]
        for number, job in enumerate(jobs):
            if number == 2:
                self.broker.stop()
                self.broker.start()
            self.assertIn(Render(self.stack, self.broker, job, "render-3").wait(), (0, 3))
        dashboard.start()

        def history():  # once the last job is in, all are: the broker delivers the session's queue in order
            past = [(job["project"], job["outcome"], job["counts"]) for job in dashboard.json("/api/jobs")["past"]]
            return past[0][0] == "Three" and past
        past = wait_until(history, 15, "the jobs rendered while the dashboard was away")
        done = {"stopped": 0, "failed": 0, "notStarted": 0}
        self.assertEqual(past, [("Three", "done", {**done, "done": 1}),
                                ("Failures", "failed", {"done": 1, "stopped": 1, "failed": 1, "notStarted": 0}),
                                ("One", "done", {**done, "done": 2})])


if __name__ == "__main__":
    unittest.main()
