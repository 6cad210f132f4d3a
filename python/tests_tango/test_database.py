"""korval-tango registered in a real Tango database (Debian's tango-db on a MariaDB of the test's own),
found and called through it as a facility's clients do."""

import os
import shutil
import socket
import subprocess
from pathlib import Path

import pytest
import tango
from tango import DevState

from conftest import wait_for

DATABASE_SERVER = Path("/usr/lib/tango/DataBaseds")
SCHEMA = Path("/usr/share/dbconfig-common/data/tango-db/install/mysql")
LAUNCHER = Path(__file__).resolve().parent.parent / "korval-tango"

pytestmark = pytest.mark.skipif(
    not (DATABASE_SERVER.exists() and SCHEMA.exists() and shutil.which("mariadbd") and shutil.which("tango_admin")),
    reason="needs tango-db, mariadb-server and libtango-tools (scripts/setup.sh --tango)")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Processes:
    """The processes a test starts, each ended by its own id when the test ends."""

    def __init__(self, logs):
        self.logs, self.started = logs, []

    def start(self, name, command, env=None):
        log = open(self.logs / f"{name}.log", "wb")
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env)
        self.started.append((process, log))
        return process

    def log(self, name):
        return (self.logs / f"{name}.log").read_text(errors="replace")

    def end(self):
        for process, log in reversed(self.started):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
            log.close()


def run(*command, **kwargs):
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, **kwargs)
    assert done.returncode == 0, f"{command}: {done.stdout}{done.stderr}"


def test_registered_devices_are_found_through_the_database(tmp_path, monkeypatch):
    processes = Processes(tmp_path)
    try:
        data, sock, sql_port, tango_port = tmp_path / "data", tmp_path / "mysql.sock", free_port(), free_port()
        run("mariadb-install-db", "--user=root", f"--datadir={data}", "--auth-root-authentication-method=normal")
        mariadb = processes.start("mariadb", ["mariadbd", "--user=root", f"--datadir={data}", f"--socket={sock}",
                                              f"--port={sql_port}", "--bind-address=127.0.0.1",
                                              f"--pid-file={tmp_path / 'mariadb.pid'}"])
        client = ["mariadb", f"--socket={sock}", "-uroot"]
        wait_for(lambda: mariadb.poll() is not None or subprocess.run(client + ["-e", "select 1"],
                                                                     capture_output=True).returncode == 0,
                 30, "MariaDB's start")
        assert mariadb.poll() is None, processes.log("mariadb")
        run(*client, "-e", "CREATE DATABASE tango; CREATE USER tango@'127.0.0.1' IDENTIFIED BY 'tango'; "
                           "GRANT ALL ON tango.* TO tango@'127.0.0.1';")
        with open(SCHEMA) as schema:
            run(*client, "tango", stdin=schema)

        host = f"127.0.0.1:{tango_port}"
        env = dict(os.environ, TANGO_HOST=host, MYSQL_USER="tango", MYSQL_PASSWORD="tango",
                   MYSQL_HOST=f"127.0.0.1:{sql_port}", MYSQL_DATABASE="tango")
        processes.start("databaseds", [str(DATABASE_SERVER), "2", "-ORBendPoint", f"giop:tcp:{host}"], env)
        run("tango_admin", "--ping-database", "20", env=env)
        run("tango_admin", "--add-server", "korval-tango/lab1", "KorvalBoard", "lab1/daq/adc1,lab1/daq/adc2", env=env)
        run("tango_admin", "--add-property", "lab1/daq/adc1", "SerialNumber", "C0FFEE01", env=env)
        run("tango_admin", "--add-property", "lab1/daq/adc2", "SerialNumber", "C0FFEE02", env=env)
        server = processes.start("korval-tango", [str(LAUNCHER), "lab1", "--sim", "0x8040:C0FFEE02",
                                                  "--sim", "0x8140:C0FFEE01"], env)

        monkeypatch.setenv("TANGO_HOST", host)
        database = tango.Database()
        wait_for(lambda: server.poll() is not None
                 or len(database.get_device_exported("lab1/daq/*").value_string) == 2, 30, "the devices' export")
        assert server.poll() is None, processes.log("korval-tango")
        adc1, adc2 = tango.DeviceProxy("lab1/daq/adc1"), tango.DeviceProxy("lab1/daq/adc2")
        assert (adc1.state(), adc1.ProductID, adc1.BoardSerialNumber) == (DevState.ON, 0x8140, "00000000C0FFEE01")
        assert (adc2.ProductID, adc2.BoardSlot) == (0x8040, 0)
        adc1.Channels = "0-3"
        assert len(adc1.Voltages) == 4
    finally:
        processes.end()
