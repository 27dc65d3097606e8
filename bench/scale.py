#!/usr/bin/env python3
"""Times connwalk against ss and netstat on connection tables of known size.

What it measures, for each table size:
  * whole-process wall time and peak memory of `connwalk tcp`, `connwalk
    local PORT` and `connwalk udp` beside `ss` and `netstat` doing the same
    job, run side by side in interleaved rounds so that drift on a shared
    machine hits every command alike;
  * the in-process cost of the three library calls (bench/call_bench, Google
    Benchmark medians), which leaves out process start-up and output;
  * user-space instructions of each whole process under callgrind, which stay
    put on a noisy machine where wall times wander;
  * at the smallest TCP size, net-snmp's snmpd walked over SNMP, the path the
    library's interface was modelled on, as a peer of another kind.

The tables are real sockets on 127.0.0.1 held open by bench/socket_load, so
nothing depends on the outside network. Each size is compared per kernel row
(µs/row) so that growth with the table shows as a rising figure; the "Goals"
section then reads the figures against the targets the project set for speed
at scale.

    python3 bench/scale.py [--tcp-sizes 1000,10000,18000,50000]
                           [--udp-sizes 1000,10000] [--runs 11]
                           [--build build/default] [--json FILE] [--quick]
                           [--callgrind-max 50000 | --no-callgrind]
                           [--snmp-max 2000 | --no-snmp]
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# Goal thresholds.
LOOKUP_GOAL_SIZE = 18_000
MEMORY_GOAL_SIZE = 50_000
MEMORY_MARGIN_KIB = 16 * 1024
GROWTH_LIMIT = 1.3
LISTING_REFERENCE_SIZE = 10_000
LISTING_GROWTH_LIMIT = 1.1

COMMAND_TIMEOUT_S = 120.0
CALLGRIND_TIMEOUT_S = 600.0
READY_TIMEOUT_S = 300.0
DRAIN_TIMEOUT_S = 90.0
SNMP_RUNS = 3
# snmpd's walk time grows much faster than its table (0.7 s at 1,000 rows,
# minutes at 18,000), so it has a tighter bound than the local commands.
SNMP_TIMEOUT_S = 60.0
PEAK_RUNS = 3

# net-snmp's tools load every MIB they find and print pages of warnings for
# the ones Debian does not ship; numeric OIDs need none.
SNMP_ENV = {**os.environ, "MIBS": ""}


class Interrupted(Exception):
    """SIGTERM, turned into an exception so that cleanup runs as on Ctrl-C."""


class CommandTimeout(Exception):
    pass


# ---------------------------------------------------------------- records


@dataclass
class Command:
    key: str  # role in the goals, e.g. "connwalk local"
    argv: list[str]
    env: dict[str, str] | None = None
    title: str | None = None  # for the table, where the command line is noise
    # A lookup that finds nothing exits 1 after the same whole walk, so it
    # still counts as a timed run.
    accepted_exits: tuple[int, ...] = (0,)
    timeout_s: float = COMMAND_TIMEOUT_S

    @property
    def label(self) -> str:
        return self.title or " ".join([Path(self.argv[0]).name] + self.argv[1:])


@dataclass
class Timing:
    label: str
    wall_ms: list[float] = field(default_factory=list)
    peak_kib: list[int] = field(default_factory=list)
    failures: list[str] = field(default_factory=list)  # one reason per failed run
    message: str | None = None  # what the command itself said when it failed

    @property
    def median_ms(self) -> float | None:
        return statistics.median(self.wall_ms) if self.wall_ms else None

    @property
    def median_kib(self) -> int | None:
        return int(statistics.median(self.peak_kib)) if self.peak_kib else None


@dataclass
class SizeResult:
    protocol: str  # "tcp" or "udp"
    sockets: int
    baselines: tuple[str, str]  # the two ss commands the ratios are taken against
    rows: int = 0
    ipv4_rows: int = 0
    rows_after: int = 0
    port: int | None = None
    timings: dict[str, Timing] = field(default_factory=dict)
    in_process_ms: dict[str, float] = field(default_factory=dict)
    in_process_records: dict[str, float] = field(default_factory=dict)
    instructions: dict[str, int | None] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    def median(self, key: str) -> float | None:
        timing = self.timings.get(key)
        return timing.median_ms if timing else None

    def peak(self, key: str) -> int | None:
        timing = self.timings.get(key)
        return timing.median_kib if timing else None

    def per_row_us(self, ms: float | None) -> float | None:
        if ms is None or self.rows <= 0:
            return None
        return ms * 1000.0 / self.rows


@dataclass
class Tools:
    socket_load: Path
    connwalk: Path | None
    call_bench: Path | None
    valgrind: str | None
    gnu_time: str | None
    snmp: dict[str, str] | None  # snmpd, snmpwalk, snmpnetstat


# ---------------------------------------------------------------- running


def _on_alarm(signum, frame):
    raise CommandTimeout()


def run_once(command: Command) -> tuple[float, str | None]:
    """One whole-process run: (wall ms, failure or None).

    The timeout is an interval timer, not a watchdog thread, so that nothing
    extra runs inside the timed span.
    """
    process = None
    signal.setitimer(signal.ITIMER_REAL, command.timeout_s)
    try:
        start = time.perf_counter()
        process = subprocess.Popen(command.argv, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=command.env)
        _, status, _ = os.wait4(process.pid, 0)
        elapsed_ms = (time.perf_counter() - start) * 1000.0
    except CommandTimeout:
        if process is not None:
            process.kill()
            process.wait()
        return 0.0, f"timed out after {command.timeout_s:.0f} s"
    except OSError as error:
        return 0.0, f"could not start: {error}"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode not in command.accepted_exits:
        return elapsed_ms, f"exit {process.returncode}"
    return elapsed_ms, None


def peak_kib(gnu_time: str, command: Command) -> int | None:
    """Peak resident memory of one run, as GNU time reports it.

    Not wait4's ru_maxrss of a child of this script: exec records the memory
    of the process it replaces, so every child would start from Python's own
    resident size (about 15 MiB, more than ss needs for 50,000 rows). GNU
    time forks from a process of about 1 MiB, which is then the floor.
    """
    read_end, write_end = os.pipe()
    process = None
    try:
        process = subprocess.Popen(
            [gnu_time, "-f", "%M", "-o", f"/dev/fd/{write_end}", *command.argv],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=command.env, pass_fds=[write_end])
        os.close(write_end)
        write_end = -1
        if process.wait(timeout=command.timeout_s) not in command.accepted_exits:
            return None  # the failure itself is reported from the timed runs
        with os.fdopen(read_end, errors="replace") as report:
            read_end = -1
            lines = report.read().split()
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None
    except OSError:
        return None
    finally:
        for fd in (read_end, write_end):
            if fd >= 0:
                os.close(fd)
    return int(lines[-1]) if lines and lines[-1].isdigit() else None


def first_error_line(command: Command) -> str:
    """What a failing command says, for the report (one extra run)."""
    try:
        done = subprocess.run(command.argv, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, errors="replace", env=command.env,
                              timeout=command.timeout_s)
    except (OSError, subprocess.TimeoutExpired) as error:
        return str(error)
    lines = done.stderr.strip().splitlines()
    return lines[0] if lines else f"exit {done.returncode}, nothing on stderr"


def time_side_by_side(commands: list[Command], runs: int, gnu_time: str | None,
                      timings: dict[str, Timing]) -> None:
    """Warm-up once each, then `runs` rounds over all commands, into `timings`.

    The order rotates by one each round so that no command always follows
    the same neighbour (whose page-cache or socket work it might inherit).
    Peak memory comes from separate runs: it hardly varies, and the wrapper
    that reads it must not sit inside the timed runs. Filled in place so that
    an interrupted run still reports what it has.
    """
    for command in commands:
        timings[command.key] = Timing(command.label)
    for command in list(commands):
        _, failure = run_once(command)
        if failure and failure.startswith("timed out"):
            # Every further run would wait as long again.
            timings[command.key].failures.append(failure)
            timings[command.key].message = f"warm-up {failure}, not run again"
            commands = [c for c in commands if c is not command]
    if not commands:
        return
    for round_index in range(runs):
        shift = round_index % len(commands)
        for command in commands[shift:] + commands[:shift]:
            wall_ms, failure = run_once(command)
            timing = timings[command.key]
            if failure:
                timing.failures.append(failure)
            else:
                timing.wall_ms.append(wall_ms)
    for command in commands:
        timing = timings[command.key]
        if gnu_time:
            peaks = (peak_kib(gnu_time, command) for _ in range(min(runs, PEAK_RUNS)))
            timing.peak_kib = [peak for peak in peaks if peak is not None]
        if timing.failures:
            timing.message = first_error_line(command)


def capture(argv: list[str], timeout: float = COMMAND_TIMEOUT_S,
            env: dict[str, str] | None = None) -> subprocess.CompletedProcess | None:
    try:
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="replace", timeout=timeout, env=env)
    except (OSError, subprocess.TimeoutExpired):
        return None


def count_rows(protocol: str, ipv4_only: bool = False) -> int:
    """Rows of the kernel's table as ss counts them.

    The median of three reads: on a busy table ss now and then returns an
    almost empty dump, which would make every per-row figure absurd.
    """
    argv = ["ss", "-tan" if protocol == "tcp" else "-uan"] + (["-4"] if ipv4_only else [])
    counts = []
    for _ in range(3):
        done = capture(argv)
        if done is not None and done.returncode == 0:
            counts.append(max(len(done.stdout.splitlines()) - 1, 0))
    return int(statistics.median(counts)) if counts else 0


def wait_for_rows_at_most(protocol: str, limit: int) -> int:
    deadline = time.monotonic() + DRAIN_TIMEOUT_S
    rows = count_rows(protocol)
    while rows > limit and time.monotonic() < deadline:
        time.sleep(0.5)
        rows = count_rows(protocol)
    return rows


# ---------------------------------------------------------------- socket_load


class SocketLoad:
    """socket_load held for the length of a `with` block.

    It runs in its own session so that Ctrl-C reaches only this script, which
    then stops the load in order (stdin closed) instead of leaving it half
    torn down.
    """

    def __init__(self, program: Path, tcp: int, udp: int):
        self.argv = [str(program), "--tcp", str(tcp), "--udp", str(udp)]
        self.process: subprocess.Popen | None = None
        self.port = 0

    def __enter__(self) -> "SocketLoad":
        self.process = subprocess.Popen(self.argv, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True,
                                        start_new_session=True)
        try:
            self.port = self._wait_for_ready()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def _wait_for_ready(self) -> int:
        assert self.process and self.process.stdout
        readable, _, _ = select.select([self.process.stdout], [], [], READY_TIMEOUT_S)
        line = self.process.stdout.readline() if readable else ""
        match = re.match(r"ready tcp=\d+ udp=\d+ last-local-port=(\d+)", line)
        if not match:
            raise RuntimeError(f"socket_load did not get ready ({' '.join(self.argv[1:])}): "
                               f"{line.strip() or 'no output'}")
        return int(match.group(1))

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is None:
            return
        try:
            if process.stdin:
                process.stdin.close()
            process.wait(timeout=60)
        except (subprocess.TimeoutExpired, OSError):
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        finally:
            if process.stdout:
                process.stdout.close()


# ---------------------------------------------------------------- snmpd


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SnmpAgent:
    """A private snmpd on 127.0.0.1 for the length of a `with` block.

    The listening address is given on the command line only: snmpd 5.9 fails
    to open it when the configuration names the same address again.
    """

    def __init__(self, snmp: dict[str, str]):
        self.snmp = snmp
        self.directory = Path(tempfile.mkdtemp(prefix="connwalk-snmpd-"))
        self.port = free_udp_port()
        self.address = f"127.0.0.1:{self.port}"
        self.process: subprocess.Popen | None = None

    def __enter__(self) -> "SnmpAgent":
        config = self.directory / "snmpd.conf"
        # Without the last line snmpd logs every request, which would time
        # its logging as much as its table.
        config.write_text("rocommunity public 127.0.0.1\n"
                          "dontLogTCPWrappersConnects yes\n")
        # Its persistent state goes to the scratch directory, not /var/lib.
        env = {**SNMP_ENV, "SNMP_PERSISTENT_DIR": str(self.directory / "state")}
        try:
            with open(self.directory / "snmpd.log", "w") as log:
                self.process = subprocess.Popen(
                    [self.snmp["snmpd"], "-f", "-Lo", "-C", "-c", str(config),
                     "-p", str(self.directory / "snmpd.pid"), f"udp:{self.address}"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    env=env, start_new_session=True)
            self._wait_until_answering()
        except OSError as error:
            self.stop()
            raise RuntimeError(f"snmpd did not start: {error}") from error
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def _wait_until_answering(self) -> None:
        probe = [self.snmp["snmpwalk"], "-v1", "-c", "public", "-On", "-t", "1", "-r", "0",
                 self.address, "1.3.6.1.2.1.1.3"]
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            assert self.process
            if self.process.poll() is not None:
                break
            done = capture(probe, timeout=5, env=SNMP_ENV)
            if done is not None and done.returncode == 0 and done.stdout.strip():
                return
            time.sleep(0.2)
        log = (self.directory / "snmpd.log").read_text(errors="replace").strip().splitlines()
        raise RuntimeError("snmpd did not answer: " + (log[-1] if log else "no log"))

    def stop(self) -> None:
        process, self.process = self.process, None
        if process is not None:
            process.terminate()
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


def snmp_commands(snmp: dict[str, str], address: str) -> list[Command]:
    return [
        Command("snmpwalk tcpConnTable",
                [snmp["snmpwalk"], "-v1", "-c", "public", "-On", address, "1.3.6.1.2.1.6.13"],
                SNMP_ENV, "snmpwalk -v1 … 1.3.6.1.2.1.6.13 (snmpd, GETNEXT walk)",
                timeout_s=SNMP_TIMEOUT_S),
        Command("snmpnetstat tcp",
                [snmp["snmpnetstat"], "-v2c", "-c", "public", "-Can", "-Cp", "tcp", address],
                SNMP_ENV, "snmpnetstat -v2c … -Can -Cp tcp (snmpd)",
                timeout_s=SNMP_TIMEOUT_S),
    ]


def measure_snmp_peers(tools: Tools, result: SizeResult) -> None:
    with SnmpAgent(tools.snmp) as agent:
        commands = snmp_commands(tools.snmp, agent.address)
        walk = capture(commands[0].argv, timeout=SNMP_TIMEOUT_S, env=SNMP_ENV)
        if walk is not None and walk.returncode == 0:
            values = len(walk.stdout.splitlines())
            result.notes.append(f"snmpd's tcpConnTable: {values:,} values "
                                f"(5 columns, so {values // 5:,} rows; IPv4 only)")
        else:
            result.notes.append(f"snmpd's tcpConnTable: the walk did not finish "
                                f"in {SNMP_TIMEOUT_S:.0f} s")
        time_side_by_side(commands, SNMP_RUNS, tools.gnu_time, result.timings)


# ---------------------------------------------------------------- call_bench and callgrind


TIME_UNIT_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1000.0}


def in_process_medians(call_bench: Path, port: int, pattern: str,
                       repetitions: int) -> tuple[dict[str, float], dict[str, float], str | None]:
    """Median ms per call and the records counter, per benchmark."""
    argv = [str(call_bench), f"--port={port}", f"--benchmark_filter={pattern}",
            "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
            "--benchmark_report_aggregates_only=true"]
    done = capture(argv, timeout=CALLGRIND_TIMEOUT_S)
    if done is None or done.returncode != 0:
        reason = done.stderr.strip().splitlines()[-1:] if done else ["timed out"]
        return {}, {}, f"call_bench failed: {' '.join(reason)}"
    try:
        entries = json.loads(done.stdout)["benchmarks"]
    except (ValueError, KeyError) as error:
        return {}, {}, f"call_bench output unreadable: {error}"
    # One repetition has no aggregates: its single run stands for the median.
    wanted = ("median",) if repetitions > 1 else (None,)
    medians, records = {}, {}
    for entry in entries:
        if entry.get("aggregate_name") not in wanted:
            continue
        name = entry["run_name"].split("/")[0]
        medians[name] = entry["real_time"] * TIME_UNIT_MS[entry.get("time_unit", "ns")]
        if "records" in entry:
            records[name] = entry["records"]
    if not medians:
        return {}, {}, f"call_bench reported no medians for {pattern}"
    return medians, records, None


def instruction_count(valgrind: str, argv: list[str]) -> int | None:
    done = capture([valgrind, "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                   timeout=CALLGRIND_TIMEOUT_S)
    if done is None:
        return None
    match = (re.search(r"Collected\s*:\s*(\d+)", done.stderr)
             or re.search(r"I\s+refs:\s*([\d,]+)", done.stderr))
    return int(match.group(1).replace(",", "")) if match else None


# ---------------------------------------------------------------- one size


def tcp_commands(tools: Tools, port: int) -> list[Command]:
    commands = [Command("ss -tan", ["ss", "-tan"]), Command("ss -ta", ["ss", "-ta"]),
                Command("netstat -tan", ["netstat", "-tan"])]
    if tools.connwalk:
        commands += [Command("connwalk tcp", [str(tools.connwalk), "tcp"]),
                     Command("connwalk local", [str(tools.connwalk), "local", str(port)],
                             accepted_exits=(0, 1))]
    return commands


def udp_commands(tools: Tools) -> list[Command]:
    commands = [Command("ss -uan", ["ss", "-uan"]), Command("ss -ua", ["ss", "-ua"]),
                Command("netstat -uan", ["netstat", "-uan"])]
    if tools.connwalk:
        commands.append(Command("connwalk udp", [str(tools.connwalk), "udp"]))
    return commands


CALLGRIND_KEYS = {"tcp": ("ss -tan", "ss -ta", "connwalk tcp", "connwalk local"),
                  "udp": ("ss -uan", "ss -ua", "connwalk udp")}
# Names carry a "/real_time" suffix, so the patterns are left open.
CALL_BENCH_FILTER = {"tcp": "^BM_Tcp", "udp": "^BM_UdpListing"}


def measure_in_process(call_bench: Path, port: int, runs: int, result: SizeResult) -> None:
    medians, records, problem = in_process_medians(
        call_bench, port, CALL_BENCH_FILTER[result.protocol], runs)
    result.in_process_ms, result.in_process_records = medians, records
    if problem:
        result.notes.append(problem)


def count_instructions(valgrind: str, commands: list[Command], result: SizeResult) -> None:
    for command in commands:
        if command.key in CALLGRIND_KEYS[result.protocol]:
            count = instruction_count(valgrind, command.argv)
            result.instructions[command.key] = count
            if count is None:
                result.notes.append(f"callgrind gave no count for {command.label}")


def note_lookup_answer(tools: Tools, port: int, result: SizeResult) -> None:
    """The lookup should find the last connection; say so if it does not."""
    done = capture([str(tools.connwalk), "local", str(port)])
    if done is None:
        answer = "nothing (did not run)"
    elif done.returncode == 1:
        answer = "nothing (no connection has that port; the timed runs still walk the table)"
    elif done.returncode != 0:
        answer = f"nothing (exit {done.returncode})"
    else:
        answer = done.stdout.strip().replace("\t", " ") or "nothing"
    result.notes.append(f"connwalk local {port} answers: {answer}")


def measure_size(tools: Tools, options, result: SizeResult, with_snmp: bool) -> None:
    protocol, sockets = result.protocol, result.sockets
    tcp, udp = (sockets, 0) if protocol == "tcp" else (0, sockets)
    progress(f"{protocol.upper()} {sockets:,}: opening sockets")
    with SocketLoad(tools.socket_load, tcp, udp) as load:
        result.port = load.port if protocol == "tcp" else None
        result.rows = count_rows(protocol)
        result.ipv4_rows = count_rows(protocol, ipv4_only=True)
        if protocol == "tcp" and tools.connwalk:
            note_lookup_answer(tools, load.port, result)

        commands = tcp_commands(tools, load.port) if protocol == "tcp" else udp_commands(tools)
        progress(f"{protocol.upper()} {sockets:,}: timing {len(commands)} commands "
                 f"x {options.runs} runs ({result.rows:,} rows)")
        time_side_by_side(commands, options.runs, tools.gnu_time, result.timings)

        if tools.call_bench:
            progress(f"{protocol.upper()} {sockets:,}: in-process calls")
            measure_in_process(tools.call_bench, load.port, options.runs, result)
        if tools.valgrind and sockets <= options.callgrind_max:
            progress(f"{protocol.upper()} {sockets:,}: callgrind")
            count_instructions(tools.valgrind, commands, result)
        if with_snmp:
            progress(f"{protocol.upper()} {sockets:,}: snmpd peers")
            try:
                measure_snmp_peers(tools, result)
            except RuntimeError as error:
                result.notes.append(str(error))

        result.rows_after = count_rows(protocol)
        if abs(result.rows_after - result.rows) > max(50, result.rows // 20):
            result.notes.append(f"the table changed while timing: {result.rows:,} rows "
                                f"before, {result.rows_after:,} after (other load on the machine?)")


def measure_protocol(tools: Tools, options, protocol: str, sizes: list[int],
                     results: list[SizeResult]) -> None:
    baseline = count_rows(protocol)
    baselines = ("ss -tan", "ss -ta") if protocol == "tcp" else ("ss -uan", "ss -ua")
    for sockets in sizes:
        result = SizeResult(protocol, sockets, baselines)
        results.append(result)
        with_snmp = protocol == "tcp" and sockets == min(sizes) and tools.snmp is not None
        if with_snmp and sockets > options.snmp_max:
            result.notes.append(f"snmpd peers: skipped at {sockets:,} sockets "
                                f"(above --snmp-max {options.snmp_max:,})")
            with_snmp = False
        try:
            measure_size(tools, options, result, with_snmp)
        except RuntimeError as error:
            result.notes.append(str(error))
        # The next size must not start on the leftovers of this one.
        limit = baseline + max(100, sockets // 100)
        rows = wait_for_rows_at_most(protocol, limit)
        if rows > limit:
            progress(f"warning: {rows:,} {protocol.upper()} rows remain (baseline {baseline:,})")


# ---------------------------------------------------------------- machine


def describe_machine() -> dict[str, str]:
    def first_line(argv: list[str]) -> str:
        done = capture(argv, timeout=10)
        text = (done.stdout or done.stderr) if done else ""
        return text.strip().splitlines()[0] if text.strip() else "unknown"

    def proc_field(path: str, name: str) -> str:
        try:
            for line in Path(path).read_text().splitlines():
                if line.startswith(name):
                    return line.split(":", 1)[1].strip()
        except OSError:
            pass
        return "unknown"

    memory = proc_field("/proc/meminfo", "MemTotal")
    if memory.endswith(" kB"):
        memory = f"{int(memory[:-3]) / 1024 / 1024:.1f} GiB"
    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "nproc": str(len(os.sched_getaffinity(0))),
        "cpu": proc_field("/proc/cpuinfo", "model name"),
        "kernel": platform.release(),
        "memory": memory,
        "ss": first_line(["ss", "-V"]),
        "netstat": first_line(["netstat", "-V"]),
        "valgrind": first_line(["valgrind", "--version"]) if shutil.which("valgrind") else "not installed",
    }


# ---------------------------------------------------------------- report


def number(value: float | None, digits: int = 2) -> str:
    return "–" if value is None else f"{value:,.{digits}f}"


def ratio(value: float | None, reference: float | None) -> str:
    if value is None or not reference:
        return "–"
    return f"{value / reference:.2f}"


IN_PROCESS_LABELS = {
    "BM_TcpListing": "in-process GetTCPEndpoints",
    "BM_TcpLocalPortLookup": "in-process GetTCPLocalPortInfo",
    "BM_UdpListing": "in-process GetUDPEndpoints",
}


def size_table(result: SizeResult) -> list[str]:
    first, second = result.baselines
    heading = f"### {result.protocol.upper()}, {result.sockets:,} sockets"
    if not result.timings:
        return [heading, "", *[f"- {note}" for note in result.notes], ""]
    lines = [heading, "",
             f"Kernel rows: {result.rows:,} ({result.ipv4_rows:,} IPv4)"
             + (f"; looked-up local port {result.port}" if result.port else ""), "",
             f"| command | median ms | × {first} | × {second} | peak KiB | µs/row | instructions |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    reference = (result.median(first), result.median(second))
    for key, timing in result.timings.items():
        median = timing.median_ms
        instructions = result.instructions.get(key)
        failed = (f" (failed {len(timing.failures)}×: {timing.message or timing.failures[-1]})"
                  if timing.failures else "")
        lines.append(f"| {timing.label}{failed} | {number(median)} | {ratio(median, reference[0])} | "
                     f"{ratio(median, reference[1])} | {number(timing.median_kib, 0)} | "
                     f"{number(result.per_row_us(median), 3)} | {number(instructions, 0)} |")
    for name, median in result.in_process_ms.items():
        records = result.in_process_records.get(name)
        label = f"{IN_PROCESS_LABELS.get(name, name)} ({name}"
        label += f", {records:,.0f} records)" if records else ")"
        lines.append(f"| {label} | {number(median)} | {ratio(median, reference[0])} | "
                     f"{ratio(median, reference[1])} | – | {number(result.per_row_us(median), 3)} | – |")
    lines.append("")
    lines += [f"- {note}" for note in result.notes]
    if result.notes:
        lines.append("")
    return lines


def measure_walk(walk_bench: Path, quick: bool) -> dict[int, float]:
    """ns per row of the walk alone over synthetic tables (bench/walk_bench).

    Without the kernel's dump, process start-up or texts, this is where an
    O(n²) walk would show first.
    """
    command = [str(walk_bench), "--benchmark_format=json",
               f"--benchmark_min_time={0.05 if quick else 0.3}"]
    try:
        finished = subprocess.run(command, capture_output=True, text=True, timeout=COMMAND_TIMEOUT_S)
        report = json.loads(finished.stdout)
    except (OSError, subprocess.SubprocessError, json.JSONDecodeError):
        return {}
    per_row = {}
    for benchmark in report.get("benchmarks", []):
        match = re.fullmatch(r"BM_WalkTcpTable/(\d+)", benchmark.get("name", ""))
        if match and benchmark.get("time_unit") == "ms":
            rows = int(match.group(1))
            per_row[rows] = benchmark["real_time"] * 1e6 / rows
    return per_row


def walk_table(walk: dict[int, float]) -> list[str]:
    if not walk:
        return []
    smallest = walk[min(walk)]
    lines = ["### The walk alone (bench/walk_bench, synthetic TCP table)", "",
             "| rows | ns/row | × at the fewest rows |", "|---:|---:|---:|"]
    lines += [f"| {rows:,} | {ns:.0f} | {ns / smallest:.2f} |" for rows, ns in sorted(walk.items())]
    return lines + [""]


def find(results: list[SizeResult], protocol: str, sockets: int) -> SizeResult | None:
    for result in results:
        if result.protocol == protocol and result.sockets == sockets and result.timings:
            return result
    return None


def verdict(met: bool | None) -> str:
    return {True: "MET", False: "MISSED", None: "NOT MEASURED"}[met]


def goal_lookup_and_listing(results: list[SizeResult]) -> list[dict]:
    result = find(results, "tcp", LOOKUP_GOAL_SIZE)
    goals = []
    for key, reference in (("connwalk local", "ss -tan"), ("connwalk tcp", "ss -ta")):
        name = f"`{key}` ≤ 1.0 × `{reference}` at {LOOKUP_GOAL_SIZE:,} TCP sockets"
        ours = result.median(key) if result else None
        theirs = result.median(reference) if result else None
        if ours is None or theirs is None:
            goals.append({"goal": name, "met": None, "figures": "size or command not measured"})
            continue
        goals.append({"goal": name, "met": ours <= theirs,
                      "figures": f"{ours:.2f} ms vs {theirs:.2f} ms ({ours / theirs:.2f}×)"})
    return goals


def goal_growth(results: list[SizeResult], walk: dict[int, float]) -> list[dict]:
    sizes = sorted(r.sockets for r in results if r.protocol == "tcp" and r.timings)
    name = (f"in-process lookup µs/row at the largest TCP size ≤ {GROWTH_LIMIT} × "
            f"at the smallest size ≥ 1,000")
    candidates = [s for s in sizes if s >= 1000]
    if len(candidates) < 2:
        return [{"goal": name, "met": None, "figures": "needs two TCP sizes of at least 1,000"}]
    small, large = find(results, "tcp", candidates[0]), find(results, "tcp", candidates[-1])

    def compare(label: str, figure) -> tuple[bool | None, str]:
        a, b = figure(small), figure(large)
        if a is None or b is None:
            return None, f"{label}: not measured"
        return b <= GROWTH_LIMIT * a, (f"{label}: {a:.3f} µs/row at {small.sockets:,}, "
                                       f"{b:.3f} µs/row at {large.sockets:,} ({b / a:.2f}×)")

    met, figures = compare("BM_TcpLocalPortLookup", lambda r: r.per_row_us(
        r.in_process_ms.get("BM_TcpLocalPortLookup")))
    _, whole = compare("whole-process connwalk local (shown only)",
                       lambda r: r.per_row_us(r.median("connwalk local")))
    figures = f"{figures}; {whole}"
    # The calls' fixed costs (process, two dumps of the kernel's hash tables)
    # flatter the per-row figure of a small table; the walk alone has none.
    near_1k = min(walk, key=lambda rows: abs(rows - 1000), default=None)
    near_50k = min(walk, key=lambda rows: abs(rows - 50000), default=None)
    if near_1k is not None and near_50k is not None and near_50k > near_1k:
        walk_ratio = walk[near_50k] / walk[near_1k]
        met = met if met is None else met and walk_ratio <= GROWTH_LIMIT
        figures += (f"; the walk alone: {walk[near_1k]:.0f} ns/row at {near_1k:,} rows, "
                    f"{walk[near_50k]:.0f} ns/row at {near_50k:,} ({walk_ratio:.2f}×)")
    return [{"goal": name, "met": met, "figures": figures}]


def goal_memory(results: list[SizeResult]) -> list[dict]:
    result = find(results, "tcp", MEMORY_GOAL_SIZE)
    name = (f"peak memory of `connwalk tcp` ≤ `ss -tan` + {MEMORY_MARGIN_KIB // 1024} MiB "
            f"at {MEMORY_GOAL_SIZE:,} TCP sockets")
    ours = result.peak("connwalk tcp") if result else None
    theirs = result.peak("ss -tan") if result else None
    if ours is None or theirs is None:
        return [{"goal": name, "met": None, "figures": "size or command not measured"}]
    return [{"goal": name, "met": ours <= theirs + MEMORY_MARGIN_KIB,
             "figures": f"{ours:,} KiB vs {theirs:,} KiB (+{ours - theirs:,} KiB)"}]


def goal_listing_cost(results: list[SizeResult]) -> list[dict]:
    """What a listing costs beyond the walk must not grow once its 100,000 bytes are full.

    `connwalk tcp` and `connwalk local` walk the same table; their difference is
    the listing's own work (names and texts), which stops when the listing is full.
    Instruction counts show it without the noise of subtracting two wall times.
    """
    name = (f"listing cost beyond the walk (instructions of `connwalk tcp` − `connwalk local`) "
            f"at the largest TCP size ≤ {LISTING_GROWTH_LIMIT} × at {LISTING_REFERENCE_SIZE:,}, "
            f"where the listing is already full")

    def extra_instructions(result: SizeResult) -> int | None:
        listing = result.instructions.get("connwalk tcp")
        lookup = result.instructions.get("connwalk local")
        return None if listing is None or lookup is None else listing - lookup

    def extra_ms(result: SizeResult) -> float | None:
        listing = result.in_process_ms.get("BM_TcpListing")
        lookup = result.in_process_ms.get("BM_TcpLocalPortLookup")
        return None if listing is None or lookup is None else listing - lookup

    counted = [r for r in sorted((r for r in results if r.protocol == "tcp" and r.timings),
                                 key=lambda r: r.sockets)
               if r.sockets >= LISTING_REFERENCE_SIZE and extra_instructions(r) is not None]
    shown = "; ".join(f"in-process BM_TcpListing − BM_TcpLocalPortLookup at {r.sockets:,}: "
                      f"{extra_ms(r):.2f} ms" for r in counted if extra_ms(r) is not None)
    if len(counted) < 2:
        return [{"goal": name, "met": None,
                 "figures": f"needs instruction counts at {LISTING_REFERENCE_SIZE:,} "
                            f"and a larger TCP size (valgrind, --callgrind-max)"}]
    reference, largest = counted[0], counted[-1]
    a, b = extra_instructions(reference), extra_instructions(largest)
    met = b <= LISTING_GROWTH_LIMIT * a
    figures = (f"{a:,} instructions at {reference.sockets:,}, {b:,} at {largest.sockets:,} "
               f"({b / a:.2f}×)" if a > 0 else f"{a:,} at {reference.sockets:,}, {b:,} at {largest.sockets:,}")
    return [{"goal": name, "met": met, "figures": f"{figures} (shown only: {shown})"}]


def evaluate_goals(results: list[SizeResult], walk: dict[int, float]) -> list[dict]:
    return (goal_lookup_and_listing(results) + goal_growth(results, walk)
            + goal_memory(results) + goal_listing_cost(results))


def render(machine: dict[str, str], options, results: list[SizeResult], goals: list[dict],
           skipped: list[str], interrupted: bool, walk: dict[int, float]) -> str:
    lines = ["# connwalk at scale", "",
             *[f"- {key}: {value}" for key, value in machine.items()],
             f"- runs per command: {options.runs} after one warm-up, interleaved; wall time "
             f"from process start to reaped exit; peak KiB = resident high-water mark from "
             f"GNU time, median of {PEAK_RUNS} separate runs (floor about 1.1 MiB)", ""]
    lines += [f"- {line}" for line in skipped]
    if skipped:
        lines.append("")
    if interrupted:
        lines += ["**Interrupted: the figures below are partial.**", ""]
    for result in results:
        lines += size_table(result)
    lines += walk_table(walk)
    lines += ["## Goals", ""]
    lines += [f"- {verdict(g['met'])}: {g['goal']}: {g['figures']}" for g in goals]
    return "\n".join(lines) + "\n"


def as_json(machine, options, results, goals, interrupted, walk) -> dict:
    def size_json(result: SizeResult) -> dict:
        return {
            "protocol": result.protocol, "sockets": result.sockets, "rows": result.rows,
            "ipv4_rows": result.ipv4_rows, "rows_after": result.rows_after, "port": result.port,
            "commands": {key: {"label": t.label, "median_ms": t.median_ms,
                               "median_peak_kib": t.median_kib,
                               "us_per_row": result.per_row_us(t.median_ms),
                               "instructions": result.instructions.get(key),
                               "wall_ms": t.wall_ms, "peak_kib": t.peak_kib,
                               "failures": t.failures, "message": t.message}
                         for key, t in result.timings.items()},
            "in_process_median_ms": result.in_process_ms,
            "in_process_records": result.in_process_records,
            "notes": result.notes,
        }
    return {"machine": machine, "runs": options.runs, "interrupted": interrupted,
            "sizes": [size_json(r) for r in results],
            "walk_ns_per_row": {str(rows): ns for rows, ns in walk.items()}, "goals": goals}


# ---------------------------------------------------------------- set-up


def progress(message: str) -> None:
    print(f"[scale] {message}", file=sys.stderr, flush=True)


def sizes_list(text: str) -> list[int]:
    try:
        sizes = [int(part.replace("_", "")) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of numbers: {text}")
    if any(size < 0 for size in sizes):
        raise argparse.ArgumentTypeError("sizes cannot be negative")
    return sizes


def parse_arguments(argv: list[str]):
    parser = argparse.ArgumentParser(
        description="Time connwalk against ss and netstat on tables of known size.")
    parser.add_argument("--tcp-sizes", type=sizes_list, default=[1000, 10000, 18000, 50000])
    parser.add_argument("--udp-sizes", type=sizes_list, default=[1000, 10000])
    parser.add_argument("--runs", type=int, default=11, help="timed runs per command (after one warm-up)")
    parser.add_argument("--build", type=Path, default=REPO / "build" / "default",
                        help="build directory (default: build/default)")
    parser.add_argument("--callgrind-max", type=int, default=50000,
                        help="largest size counted under callgrind")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--no-snmp", dest="snmp", action="store_false",
                        help="leave out the snmpd peers")
    parser.add_argument("--snmp-max", type=int, default=2000,
                        help="largest smallest-TCP-size at which snmpd is walked (it is slow)")
    parser.add_argument("--quick", action="store_true",
                        help="smoke test: 200 TCP / 200 UDP sockets, 3 runs, no callgrind, no snmpd")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    options = parser.parse_args(argv)
    if options.quick:
        options.tcp_sizes, options.udp_sizes, options.runs = [200], [200], 3
        options.no_callgrind, options.snmp = True, False
    if options.runs < 1:
        parser.error("--runs must be at least 1")
    if not options.build.is_absolute():
        options.build = REPO / options.build
    return options


def find_tools(options, skipped: list[str]) -> Tools:
    build = options.build
    socket_load = build / "bench" / "socket_load"
    if not os.access(socket_load, os.X_OK):
        sys.exit(f"scale.py: {socket_load} is missing. Build the benchmarks first:\n"
                 f"  cmake --preset default -DCONNWALK_BENCHMARKS=ON && cmake --build --preset default\n"
                 f"or run scripts/bench, which does both (or pass --build DIR).")
    for tool in ("ss", "netstat"):
        if not shutil.which(tool):
            skipped.append(f"{tool} is not installed: its rows fail (scripts/install-deps installs it)")

    def executable(path: Path, what: str) -> Path | None:
        if os.access(path, os.X_OK):
            return path
        skipped.append(f"{what} missing ({path}): skipped")
        return None

    valgrind = None
    if options.no_callgrind:
        skipped.append("instruction counts: skipped (--no-callgrind)")
    elif shutil.which("valgrind"):
        valgrind = shutil.which("valgrind")
    else:
        skipped.append("instruction counts: skipped (valgrind is not installed)")

    gnu_time = shutil.which("time", path="/usr/bin:/bin")
    if not gnu_time:
        skipped.append("peak memory: skipped (GNU time, Debian package `time`, is not installed)")

    snmp = None
    names = ("snmpd", "snmpwalk", "snmpnetstat")
    if options.snmp:
        found = {name: shutil.which(name) for name in names}
        if all(found.values()):
            snmp = found
        else:
            missing = ", ".join(n for n, path in found.items() if not path)
            skipped.append(f"snmpd peers: skipped ({missing} not installed)")
    else:
        skipped.append("snmpd peers: skipped")
    return Tools(socket_load,
                 executable(build / "tools" / "connwalk" / "connwalk", "connwalk command"),
                 executable(build / "bench" / "call_bench", "call_bench (in-process figures)"),
                 valgrind, gnu_time, snmp)


def raise_interrupted(signum, frame):
    raise Interrupted()


def main(argv: list[str]) -> int:
    options = parse_arguments(argv)
    skipped: list[str] = []
    tools = find_tools(options, skipped)
    signal.signal(signal.SIGALRM, _on_alarm)
    signal.signal(signal.SIGTERM, raise_interrupted)
    # Also when started in the background, where the shell ignores SIGINT.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    machine = describe_machine()
    results: list[SizeResult] = []
    interrupted = False
    started = time.monotonic()
    walk: dict[int, float] = {}
    try:
        measure_protocol(tools, options, "tcp", options.tcp_sizes, results)
        measure_protocol(tools, options, "udp", options.udp_sizes, results)
        walk_bench = options.build / "bench" / "walk_bench"
        if os.access(walk_bench, os.X_OK):
            progress("the walk alone")
            walk = measure_walk(walk_bench, options.quick)
    except (KeyboardInterrupt, Interrupted):
        interrupted = True
    progress(f"done in {time.monotonic() - started:.0f} s")
    goals = evaluate_goals(results, walk)
    sys.stdout.write(render(machine, options, results, goals, skipped, interrupted, walk))
    if options.json:
        options.json.write_text(json.dumps(as_json(machine, options, results, goals, interrupted, walk),
                                           indent=2, ensure_ascii=False) + "\n")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
