"""The end-to-end scenarios, written once and run against both builds.

Each scenario names the state of the three targets (the vocabulary of planting.plant), the
runs of the tool with their standard input, the outcome line each run must print for the
service, the file and the key (None when the answer declines), the exit status, and which
targets must remain afterwards. The look-alikes (service velkor2, keys velkor2 and velkorx,
system32\\drivers\\velkor.sys, system32\\velkor.sys.bak, in a 64-bit prefix a namesake
syswow64\\velkor.sys, the far key SYSTEM\\VelkorFar that planted registry links point at, and
class filter lists naming only look-alikes) are planted in every case and must always remain.
`filters="listed"` puts velkor into class filter lists; "filters" in `remains` means its entries
must still be there, else the lists must be the template's again.

`sides` says where a case can be made: "both", "host" (only the simulated machine can make it,
for example the service manager refusing access) or "wine". `restart` restarts the machine
after the runs (Wine only), before what remains is checked. `pending` says whether the driver
file's deletion must wait for the next boot at the end; nothing else may ever be scheduled.
"""

from dataclasses import dataclass, field

WINDOWS_DIRECTORY = "C:\\windows"

SERVICE_DELETED = "DeleteService SUCCESS."
SERVICE_MISSING = "Service Not Found."
SERVICE_ALREADY_MARKED = "Already scheduled for deletion (try rebooting)"
FILE_DONE = "Done."
FILE_MISSING = "File Not Found."
FILE_DENIED = "Access Denied."
KEY_DONE = "Done."
KEY_MISSING = "Not found."

BANNER = "Velkor Remover 0.1\nCopyright (c) 2026 the Velkor Remover authors.\n\n"
QUESTION = ("WARNING: This program comes with no warranty.\n\n"
            "Are you sure you wish to proceed with deletion of the QZ SERVICE\n"
            "and related files? ")
CLOSING = ("\nIf you received any Access Denied errors, try restarting and re-running the application.\n\n"
           "Press ENTER to exit.\n")


def transcript(outcomes, windows_directory=WINDOWS_DIRECTORY):
    """The exact bytes on standard output: CR LF line ends, as the C runtime writes them."""
    text = BANNER + f"Locating Windows... {windows_directory}\n\n" + QUESTION
    if outcomes is not None:
        service, file, key = outcomes
        text += (f"\nRemoving QZ Service... {service}\n"
                 "Deleting VELKOR Files...\n"
                 f"  Delete {windows_directory}\\system32\\velkor.sys: {file}\n"
                 "Finished removing VELKOR.\n"
                 "\nRemoving REGISTRY ENTRIES...\n"
                 f"  Delete SYSTEM\\CurrentControlSet\\Services\\velkor\\: {key}\n"
                 "Finished removing REGISTRY ENTRIES.\n" + CLOSING)
    return text.replace("\n", "\r\n").encode("ascii")


@dataclass
class Run:
    stdin: bytes
    outcomes: tuple = None  # (service, file, key) lines; None: declined
    # With stdin kept open after these bytes: whether the tool must still be waiting for the
    # closing Enter (True) or end by itself (False). None: stdin is closed after the bytes.
    waits_for_enter: bool = None

    @property
    def status(self):
        return 1 if self.outcomes is None else 0


@dataclass
class Scenario:
    name: str
    service: str = None
    driver: str = None
    key: str = None
    filters: str = None
    runs: list = field(default_factory=list)
    remains: frozenset = frozenset()  # of "service", "file", "key", "filters"
    sides: str = "both"
    # Stand-in lines for what only the simulated machine can make.
    host_extra: tuple = ()
    restart: bool = False
    pending: bool = False


EVERYTHING = dict(service="stopped", driver="readonly-hidden-system", key="full", filters="listed")
# The service manager deletes a deleted service's key itself once the service's last handle
# closes, so right after a successful service step the key step finds nothing.
REMOVED_ALL = (SERVICE_DELETED, FILE_DONE, KEY_MISSING)
NOTHING_THERE = (SERVICE_MISSING, FILE_MISSING, KEY_MISSING)
KEY_ALONE = (SERVICE_MISSING, FILE_MISSING, KEY_DONE)
ALL_TARGETS = frozenset({"service", "file", "key", "filters"})

SCENARIOS = [
    Scenario("everything present and removable", **EVERYTHING, runs=[Run(b"y\n\n", REMOVED_ALL)]),
    Scenario("nothing present", runs=[Run(b"y\n\n", NOTHING_THERE)]),
    Scenario("service alone", service="stopped", runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_MISSING, KEY_MISSING))]),
    Scenario("driver file alone", driver="plain", runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_DONE, KEY_MISSING))]),
    Scenario("key alone, no service", key="full", runs=[Run(b"y\n\n", KEY_ALONE)]),
    # Registry links in the key go as links, never followed: the far key they lead to stays
    # whole. A held-open service keeps the service manager from deleting its key (following the
    # links) during the run.
    Scenario("key with a link to a far key", key="link-subkey", runs=[Run(b"y\n\n", KEY_ALONE)]),
    Scenario("key itself a link to a far key", key="is-link", runs=[Run(b"y\n\n", KEY_ALONE)]),
    Scenario("key with a link back to itself", driver="plain", key="loop",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_DONE, KEY_DONE))]),
    Scenario("service held open, with a link in its key", service="held-open", key="link-subkey",
             runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_MISSING, KEY_DONE))], remains=frozenset({"service"})),
    # A stopped service's key is deleted by the service manager during the service step, and it
    # follows links: they go before it is asked to.
    Scenario("stopped service with a link to a far key in its key", service="stopped", driver="plain",
             key="link-subkey", runs=[Run(b"y\n\n", REMOVED_ALL)]),
    Scenario("stopped service with a link back into its key", service="stopped", driver="plain", key="loop",
             runs=[Run(b"y\n\n", REMOVED_ALL)]),
    # A key is a link by what it is, not by a value it holds: an ordinary key with a REG_LINK
    # value SymbolicLinkValue goes whole with the rest, and a link without a target as a link.
    Scenario("stopped service whose subkey holds a REG_LINK value", service="stopped", driver="plain",
             key="value-link-subkey", runs=[Run(b"y\n\n", REMOVED_ALL)]),
    Scenario("stopped service whose key holds a REG_LINK value", service="stopped", driver="plain",
             key="value-link-key", runs=[Run(b"y\n\n", REMOVED_ALL)]),
    Scenario("key with a link that has no target", key="empty-link", runs=[Run(b"y\n\n", KEY_ALONE)]),
    # A subkey the walk cannot open could hold a link: the service is then left as it is. The
    # class filters have lost velkor before the walk: the driver file goes in the next step all the
    # same, and a list naming a driver without its file keeps the class's devices from starting.
    Scenario("stopped service with a subkey that denies access", service="stopped", key="deny-subkey",
             filters="listed",
             runs=[Run(b"y\n\n", ("DeleteService FAILED. GetLastError = 5", FILE_MISSING, "Error 5."))],
             remains=frozenset({"service", "key"})),
    Scenario("key with subkeys 512 levels deep below HKLM", key="deep", runs=[Run(b"y\n\n", KEY_ALONE)]),
    Scenario("key with 5,000 subkeys", key="wide", runs=[Run(b"y\n\n", KEY_ALONE)]),
    # A service that cannot stop now is only marked; its key is deleted by the key step, and the
    # service itself stays until it stops, so the next run finds it already marked.
    Scenario("running service refusing the stop, run twice", service="running-refuses-stop",
             runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_MISSING, KEY_DONE)),
                   Run(b"y\n\n", (SERVICE_ALREADY_MARKED, FILE_MISSING, KEY_MISSING))],
             remains=frozenset({"service"})),
    # Velkor's entries leave the class filter lists when the service step goes ahead, also for a
    # service only marked for deletion (it goes at the next restart), and never without a service.
    Scenario("velkor listed in class filters, no service installed", filters="listed",
             runs=[Run(b"y\n\n", NOTHING_THERE)], remains=frozenset({"filters"})),
    Scenario("running service refusing the stop, listed in class filters", service="running-refuses-stop",
             filters="listed", runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_MISSING, KEY_DONE))],
             remains=frozenset({"service"})),
    Scenario("service held open by another process, run twice", service="held-open",
             runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_MISSING, KEY_DONE)),
                   Run(b"y\n\n", (SERVICE_ALREADY_MARKED, FILE_MISSING, KEY_MISSING))],
             remains=frozenset({"service"})),
    Scenario("service already marked for deletion", service="marked",
             runs=[Run(b"y\n\n", (SERVICE_ALREADY_MARKED, FILE_MISSING, KEY_DONE))],
             remains=frozenset({"service"})),
    # A file in use goes at the next boot; a directory in its place never does.
    Scenario("driver file held open by another process", driver="locked",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, "Error 32.", KEY_MISSING))], remains=frozenset({"file"}),
             pending=True),
    Scenario("driver file held open by another process, then a restart", driver="locked", sides="wine",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, "Error 32.", KEY_MISSING))], restart=True),
    Scenario("directory in the driver file's place", driver="directory",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_DENIED, KEY_MISSING))], remains=frozenset({"file"})),
    Scenario("directory in the driver file's place, then a restart", driver="directory", sides="wine",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_DENIED, KEY_MISSING))], remains=frozenset({"file"}),
             restart=True),
    Scenario("key with a subkey that denies access", key="deny-subkey",
             runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_MISSING, "Error 5."))], remains=frozenset({"key"})),
    # A loaded kernel driver without an unload routine cannot stop; its image file is in use.
    Scenario("running driver without an unload routine, run twice", service="running-driver", driver="running-image",
             sides="wine",
             runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_DENIED, KEY_DONE)),
                   Run(b"y\n\n", (SERVICE_ALREADY_MARKED, FILE_DENIED, KEY_MISSING))],
             remains=frozenset({"service", "file"}), pending=True),
    Scenario("running driver without an unload routine, one run and a restart", service="running-driver",
             driver="running-image", key="full", sides="wine",
             runs=[Run(b"y\n\n", (SERVICE_DELETED, FILE_DENIED, KEY_DONE))], restart=True),
    Scenario("service manager refuses full access", **EVERYTHING, sides="host",
             host_extra=("fail OpenSCManagerA 5",),
             runs=[Run(b"y\n\n", ("OpenSCManager FAILED. GetLastError = 5", FILE_DONE, KEY_DONE))],
             remains=frozenset({"service", "filters"})),
    Scenario("driver file the platform refuses to delete", driver="plain", sides="host",
             host_extra=("fail DeleteFileA 5",),
             runs=[Run(b"y\n\n", (SERVICE_MISSING, FILE_DENIED, KEY_MISSING))], remains=frozenset({"file"}),
             pending=True),
]

# The answers: only a first character of 'y' or 'Y' confirms; end of input or Ctrl+Z first
# declines. A declined run ends at the question and changes nothing.
for label, answer in (("n", b"n\n"), ("empty line", b"\n"), ("leading blank", b" y\n"),
                      ("end of input", b""), ("Ctrl+Z first", b"\x1ay\n")):
    SCENARIOS.append(Scenario(f"declined: {label}", **EVERYTHING, runs=[Run(answer)], remains=ALL_TARGETS))
for label, answer in (("Y", b"Y\n\n"), ("yes", b"yes\n\n"), ("y with CR LF", b"y\r\n\r\n"), ("y2", b"y2\n")):
    SCENARIOS.append(Scenario(f"confirmed: {label}", **EVERYTHING, runs=[Run(answer, REMOVED_ALL)]))

# With standard input left open: six or more characters leave the rest of their line for the
# closing read, so the tool ends by itself; a short answer leaves nothing, so it waits.
SCENARIOS += [
    Scenario("confirmed: yesyesyes ends without waiting", **EVERYTHING,
             runs=[Run(b"yesyesyes\n", REMOVED_ALL, waits_for_enter=False)]),
    Scenario("confirmed: yes waits for Enter", **EVERYTHING, runs=[Run(b"yes\n", REMOVED_ALL, waits_for_enter=True)]),
]
