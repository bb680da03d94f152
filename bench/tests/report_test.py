"""Tests of bench/report.py: medians, ratios and the tables built from a run's records. A wrong
median or a ratio turned upside down would publish a false comparison, so the expected figures
here are worked out by hand from the records."""

import json
import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import report  # noqa: E402

MIB = 1 << 20


def entry(case, result, server="vsftpd", rep=1, error=None, **extra):
    record = {"case": case, "server": server, "rep": rep, "result": result}
    if error is not None:
        record["error"] = error
    record.update(extra)
    return json.dumps(record)


def transfer(seconds, size=256 * MIB, ideal=None, **fields):
    result = {"mode": "transfer", "size": size, "seconds": seconds, "session_seconds": seconds,
              "verified": 1}
    if ideal is not None:
        result["ideal_seconds"] = ideal
    result.update(fields)
    return result


class MedianTest(unittest.TestCase):
    def test_odd_even_and_missing(self):
        self.assertEqual(report.median([3, 1, 2]), 2)
        self.assertEqual(report.median([4, 1, 3, 2]), 2.5)
        self.assertEqual(report.median([None, 5, None]), 5)
        self.assertIsNone(report.median([]))
        self.assertIsNone(report.median([None]))

    def test_ratio_of_missing_is_missing(self):
        self.assertEqual(report.ratio(3.0, 2.0), 1.5)
        self.assertIsNone(report.ratio(None, 2.0))
        self.assertIsNone(report.ratio(3.0, 0))
        self.assertIsNone(report.ratio(3.0, None))


class RawSectionTest(unittest.TestCase):
    def test_rates_are_medians_and_ratios_are_kestrel_over_peer(self):
        lines = []
        # Kestrel: 256 MiB in 1, 2 and 4 s: median 2 s, 128 MB/s. curl: 1 s, 256 MB/s.
        # ftplib: 4 s, 64 MB/s. Uploads: Kestrel 2 s, curl 4 s, ftplib 2 s.
        for rep, seconds in enumerate([1.0, 2.0, 4.0], 1):
            lines.append(entry("raw-kestrel-down", transfer(seconds), rep=rep,
                               cpu_user=0.5, cpu_system=0.25))
        lines.append(entry("raw-curl-down", transfer(1.0)))
        lines.append(entry("raw-ftplib-down", transfer(4.0)))
        lines.append(entry("raw-kestrel-up", transfer(2.0)))
        lines.append(entry("raw-curl-up", transfer(4.0)))
        lines.append(entry("raw-ftplib-up", transfer(2.0)))
        text = "\n".join(report.raw_section(report.Results(lines), 256 * MIB))
        self.assertIn("| Kestrel | 128 | 128 | 0.75 | – | 3 |", text)
        self.assertIn("| curl | 256 | 64 | – | – | 1 |", text)
        self.assertIn("| Kestrel / curl | 0.50 | 2.00 |", text)
        self.assertIn("| Kestrel / Python ftplib | 2.00 | 1.00 |", text)
        # Less the fixed 0.1 s: 256 MiB in 1.9 s is 134.7 MB/s, against 256 and 64.
        self.assertIn("| Kestrel without its 0.1 s closing pause / curl | 0.53 | 2.11 |", text)
        self.assertIn("256 MB", text)
        self.assertNotIn("pyftpdlib", text)  # no runs there, no table

    def test_failed_runs_do_not_count(self):
        lines = [entry("raw-kestrel-down", transfer(1.0)),
                 entry("raw-kestrel-down", None, rep=2, error="connection refused"),
                 entry("raw-curl-down", transfer(2.0))]
        results = report.Results(lines)
        self.assertEqual(results.runs("raw-kestrel-down"), 1)
        text = "\n".join(report.raw_section(results, 256 * MIB))
        self.assertIn("| Kestrel / curl | 2.00 | – |", text)
        self.assertEqual(results.failures(),
                         [("raw-kestrel-down", "vsftpd", "connection refused")])


class ThrottledSectionTest(unittest.TestCase):
    def test_measured_over_ideal_per_row(self):
        lines = [
            entry("throttled-script-down-1048576-1", transfer(2.6, MIB, 2.5)),
            entry("throttled-script-down-1048576-1", transfer(2.7, MIB, 2.5), rep=2),
            entry("throttled-script-down-1048576-1", transfer(3.5, MIB, 2.5), rep=3),
            entry("throttled-engine-down-1048576-1",
                  transfer(2.55, MIB, 2.5, pauses_expected=25, blocks_expected=256,
                           blocks_counted=258)),
            entry("throttled-script-up-1048576-8", transfer(8.6, MIB, 8.5)),
        ]
        text = "\n".join(report.throttled_section(report.Results(lines)))
        # Median of 2.6, 2.7, 3.5 is 2.7: 2.7 / 2.5 = 1.080; without the closing pause 1.040.
        self.assertIn("| download | 1 MB | 1 | 25 | 2.5 | 2.70 | 1.080 | 1.040 | 2.55 | 1.020 "
                      "| 258 / 256 |", text)
        self.assertIn("| upload | 1 MB | 8 |", text)
        # Downloads come before uploads, fewer objects first.
        self.assertLess(text.index("| download |"), text.index("| upload |"))

    def test_without_script_interface_says_so(self):
        lines = [entry("throttled-engine-down-65536-2", transfer(0.6, 65536, 0.5))]
        text = "\n".join(report.throttled_section(report.Results(lines)))
        self.assertIn("script-interface columns are not measured", text)
        self.assertIn("| 0.60 | 1.200 |", text)


class ScaleAndCpuTest(unittest.TestCase):
    def test_scale_rows_verify_time_and_memory(self):
        lines = [entry("scale-engine-8",
                       transfer(2.0, 256 * 1024, 1.0, verified=8, rss_per_object=102400)),
                 entry("scale-engine-64", None, error="login failed: 421")]
        text = "\n".join(report.scale_section(report.Results(lines)))
        # 8 x 256 KB in 2 s is 1 MB/s; 100 KiB per object.
        self.assertIn("| 8 | 256 KB | 8 of 8 | 2.00 | 1.0 | 2.00 | 1.0 | 100 |", text)
        self.assertIn("| 64 | | not measured: login failed: 421", text)

    def test_instructions_per_mb_cancel_fixed_costs(self):
        lines = [entry("cpu-kestrel", {"small": 8 * MIB, "large": 40 * MIB,
                                       "ir_small": 5000000, "ir_large": 5000000 + 32 * 300000}),
                 entry("cpu-curl", {"small": 8 * MIB, "large": 40 * MIB,
                                    "ir_small": 90000000, "ir_large": 90000000 + 32 * 100000})]
        text = "\n".join(report.cpu_section(report.Results(lines), ["  1 (100%) f"]))
        self.assertIn("| Kestrel engine | 300 k |", text)
        self.assertIn("| curl | 100 k |", text)
        self.assertIn("Kestrel / curl: **3.00**", text)
        self.assertIn("  1 (100%) f", text)

    def test_profile_lines_skip_the_header(self):
        listing = ("Ir  file:function\n----\n"
                   "67 (66%)  memset.S:memset\n 6 (6%)  memmove.S:memcpy\n\n")
        self.assertEqual(report.profile_lines(listing),
                         ["67 (66%)  memset.S:memset", " 6 (6%)  memmove.S:memcpy"])


def abort_run(seconds, result=-1, in_step=1, size=64 * MIB):
    return {"mode": "abort", "size": size, "abort_seconds": seconds, "result": result,
            "in_step": in_step, "bytes_at_abort": 4096}


class FastAndAbortTest(unittest.TestCase):
    def test_full_speed_ratios_are_kestrel_over_curl_per_mode_and_direction(self):
        lines = []
        # Script interface: 200 MiB in 0.5, 1 and 2 s (median 1 s, 200 MB/s); curl 0.5 s.
        for rep, seconds in enumerate([0.5, 1.0, 2.0], 1):
            lines.append(entry("fast-script-passive-up", transfer(seconds, 200 * MIB), rep=rep))
        lines.append(entry("fast-curl-passive-up", transfer(0.5, 200 * MIB)))
        lines.append(entry("fast-engine-passive-up", None, error="refused"))
        text = "\n".join(report.fast_section(report.Results(lines)))
        self.assertIn("| passive | upload | 200 | – | 400 | 0.50 | – | – / – | 4 of 5 |",
                      text)
        self.assertIn("| active | download | – | – | – | – | – |", text)

    def test_abort_counts_every_run_and_reports_the_slowest(self):
        lines = [entry("abort-down-30", abort_run(0.2), rep=1),
                 entry("abort-down-30", abort_run(0.4), rep=2),
                 # A run out of step still printed its record: it counts, against the goal.
                 entry("abort-down-30", abort_run(31.0, result=-1, in_step=0), rep=3,
                       error="exit status 1"),
                 entry("abort-down-30", None, rep=4, error="no greeting"),
                 entry("abort-up-500", abort_run(0.1), server="pyftpdlib")]
        results = report.Results(lines)
        text = "\n".join(report.abort_section(results))
        self.assertIn("| vsftpd | download | 30 ms | 0.400 | 31.000 | 3 of 4 | 2 of 4 | 4096 |",
                      text)
        self.assertIn("| pyftpdlib | upload | 500 ms | 0.100 | 0.100 | 1 of 1 | 1 of 1 |", text)
        self.assertLess(text.index("| vsftpd |"), text.index("| pyftpdlib |"))
        self.assertEqual(report.abort_summary(results), "31.000; 3 of 5")


class TlsSectionTest(unittest.TestCase):
    def records(self, curl_active):
        tls = "vsftpd-tls"
        lines = [entry("tls-curl-active-probe",
                       {"mode": "probe", "supported": 1 if curl_active else 0,
                        "reason": "" if curl_active else "curl: (56) inet_ntop() failed"},
                       server=tls)]
        # Kestrel passive download: 200 MiB in 0.25, 0.5 and 4 s (median 0.5 s, 400 MB/s);
        # curl 1 s (200 MB/s). Uploads: Kestrel 2 s, curl 1 s; one curl upload failed.
        for rep, seconds in enumerate([0.25, 4.0, 0.5], 1):
            lines.append(entry("tls-script-passive-down", transfer(seconds, 200 * MIB),
                               server=tls, rep=rep, cpu_user=0.25, cpu_system=0.5))
        lines.append(entry("tls-curl-passive-down", transfer(1.0, 200 * MIB), server=tls))
        lines.append(entry("tls-script-passive-up", transfer(2.0, 200 * MIB), server=tls))
        lines.append(entry("tls-curl-passive-up", transfer(1.0, 200 * MIB), server=tls))
        lines.append(entry("tls-curl-passive-up", None, server=tls, rep=2, error="exit 56"))
        lines.append(entry("tls-script-active-down", transfer(0.4, 200 * MIB), server=tls))
        if curl_active:
            lines.append(entry("tls-curl-active-down", transfer(0.8, 200 * MIB), server=tls))
        # A plain full-speed record of the same name pattern on another server is not TLS.
        lines.append(entry("fast-script-passive-down", transfer(0.1, 200 * MIB)))
        return report.Results(lines)

    def test_ratios_are_kestrel_over_curl_on_the_tls_server(self):
        results = self.records(curl_active=True)
        text = "\n".join(report.tls_section(results))
        self.assertIn("| passive | download | 400 | 200 | 2.00 | 0.75 / – | 4 of 4 |", text)
        self.assertIn("| passive | upload | 100 | 200 | 0.50 | – / – | 2 of 3 |", text)
        self.assertIn("| active | download | 500 | 250 | 2.00 |", text)
        self.assertIn("200 MB file", text)
        self.assertNotIn("not measured in active mode", text)
        summary = "\n".join(report.summary_section(results))
        self.assertIn("download; upload (goal for the download: at least 0.8) | 2.00; 0.50 |",
                      summary)

    def test_without_active_curl_the_active_rows_say_what_they_are_compared_with(self):
        text = "\n".join(report.tls_section(self.records(curl_active=False)))
        # 500 MB/s against curl's passive 200 MB/s, marked as such.
        self.assertIn("| active | download | 500 | – | – (2.50 against curl passive) |", text)
        self.assertIn("curl: (56) inet_ntop() failed", text)
        self.assertEqual(report.tls_section(report.Results([]))[2], "Not measured in this run.")


class ChartTest(unittest.TestCase):
    def test_script_interface_series_preferred_over_the_engine(self):
        lines = [entry("scale-script-8", transfer(2.0, 256 * 1024, 1.0, objects=8)),
                 entry("scale-engine-8", transfer(4.0, 256 * 1024, 1.0, objects=8)),
                 entry("throttled-script-down-1048576-2", transfer(8.5, MIB, 8.5, objects=2)),
                 entry("throttled-script-down-1048576-1", transfer(2.5, MIB, 2.5, objects=1)),
                 entry("throttled-script-down-4194304-1", transfer(10.2, 4 * MIB, 10.2,
                                                                  objects=1))]
        series = report.chart_points(report.Results(lines))
        self.assertEqual(sorted(series), ["script interface, 1 MB each",
                                          "script interface, 256 KB each"])
        # 8 x 256 KB in 2 s: 1 MB/s measured, 2 MB/s ideal.
        self.assertEqual(series["script interface, 256 KB each"], [(8, 1.0, 2.0)])
        # Only the size that ran with several objects, one object first.
        self.assertEqual([p[0] for p in series["script interface, 1 MB each"]], [1, 2])


class WholeReportTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kestrel-report-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_report_and_chart_from_a_results_file(self):
        results = os.path.join(self.dir, "results.jsonl")
        with open(results, "w") as out:
            out.write(entry("scale-script-1", transfer(0.8, 256 * 1024, 0.6, verified=1,
                                                       objects=1, rss_per_object=4096)) + "\n")
            out.write(entry("scale-script-8", transfer(2.4, 256 * 1024, 2.1, verified=8,
                                                       objects=8, rss_per_object=4096)) + "\n")
            out.write(entry("noop-engine", {"round_trips": 100, "per_second": 9000.0}) + "\n")
            out.write(entry("noop-ftplib", {"round_trips": 100, "per_second": 10000.0}) + "\n")
        machine = os.path.join(self.dir, "machine.json")
        with open(machine, "w") as out:
            json.dump({"repeats": 3, "date": "today", "smoke": 0}, out)
        target = os.path.join(self.dir, "docs", "benchmarks.md")
        chart = os.path.join(self.dir, "docs", "benchmarks.png")
        self.assertEqual(report.main(["--results", results, "--machine", machine, "--out",
                                      target, "--chart", chart, "--improvements", ""]), 0)
        with open(target) as source:
            text = source.read()
        for heading in ("## 1. Throttled", "## 2. Raw", "## 3. Command", "## 4. Scale",
                        "## 5. CPU", "## 6. Full speed", "## 7. Abort", "## 8. FTPS",
                        "## Throughput against objects"):
            self.assertIn(heading, text)
        self.assertIn("| vsftpd | none | 9000 | – | 10000 | 0.90 | – |", text)
        self.assertIn("| NOOP round trips, engine / ftplib; script interface / ftplib (vsftpd) "
                      "| 0.90; – |", text)
        self.assertIn("| 8 objects at once, time / ideal | 1.14 |", text)
        self.assertIn("median of 3 runs", text)
        if shutil.which("gnuplot"):
            with open(chart, "rb") as image:
                self.assertEqual(image.read(8), b"\x89PNG\r\n\x1a\n")
            self.assertIn("![Throughput", text)
        else:
            self.assertIn("Chart not drawn: gnuplot is not installed", text)


if __name__ == "__main__":
    unittest.main()
