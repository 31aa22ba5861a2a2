"""wireshark/usbnic.lua against nicsim's own captures, decoded by tshark.

Runs nicsim with both captures on the embedded default story (the device found by its vendor
and product id) and on usb_faults.json, whose devices stall their GET_DESCRIPTOR so that only the
heuristics can find them: bulk errors both ways, control requests that time out and are
cancelled, runts, every receive error bit, a frame the device filters, frames lost to a link that
is down, and keep-alive transfers whose unwritten bytes are an earlier ARP frame's. Each USB
capture is decoded with the dissector (the fault scenario's in one pass and in tshark's two) and
held against the wire captures and the device:

- frames the adapter sent: each frame a wire capture holds from the adapter (any source but a
  scripted partner) is a bulk-out frame, byte for byte, of a transfer that reached the device;
  the bulk-out frames left over are the ones the device says it kept off the medium;
- frames it received: each bulk-in frame is a frame a partner put on the wire; the wire frames
  left over are the ones the device says it never delivered (not received, filtered, MAC off,
  overflow, still queued); the frames decoded as dropped by the driver are the ones NDIS never
  saw indicated;
- every vendor request is named in its submission and its completion, with the register, the
  count and the values the usbmon records carry, and Wireshark's own decode of the setup packet
  and data stage is still there beside it;
- no malformed packet and no expert information. The default story's two partners both answer
  for 192.168.7.1, one per medium, and the adapter meets both: Wireshark's ARP check says
  "Duplicate IP address configured" once for it, which is true of the story (the wire captures
  are one file per link for that reason); that story is decoded as documented, with
  arp.detect_duplicate_ips off, and the plain decode must give that warning and no other.

Run by CTest: usbnic_dissector_test.py NICSIM TSHARK DISSECTOR FAULT_SCENARIO
"""
import collections
import glob
import json
import os
import struct
import subprocess
import sys
import tempfile

nicsim, tshark, dissector, fault_scenario = sys.argv[1:5]
failures = []
ARP_OFF = ["-o", "arp.detect_duplicate_ips:FALSE"]
ARP_DUPLICATE = "Duplicate IP address configured (192.168.7.1)"


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def pcap_records(path):
    with open(path, "rb") as f:
        data = f.read()
    order = "<" if struct.unpack_from("<I", data, 0)[0] == 0xA1B2C3D4 else ">"
    offset, records = 24, []
    while offset < len(data):
        length = struct.unpack_from(order + "I", data, offset + 8)[0]
        records.append(data[offset + 16:offset + 16 + length])
        offset += 16 + length
    return struct.unpack_from(order + "I", data, 20)[0], records


Urb = collections.namedtuple("Urb", "frame id type transfer endpoint device status setup data")


def usbmon(path):
    """The records of a link type 220 capture, by the usbmon header of Linux's binary interface."""
    link_type, records = pcap_records(path)
    assert link_type == 220, f"{path}: link type {link_type}, not 220"
    urbs = []
    for number, r in enumerate(records, start=1):
        urb_id, kind, transfer, endpoint, device = struct.unpack_from("<QcBBB", r, 0)
        status, _, captured = struct.unpack_from("<iII", r, 28)
        urbs.append(Urb(number, urb_id, kind.decode(), transfer, endpoint, device, status,
                        r[40:48], r[64:64 + captured]))
    return urbs


FIELDS = ["frame.number", "_ws.col.Info", "usbnic.request", "usbnic.register", "usbnic.count",
          "usbnic.value", "usbnic.tx.frame", "usbnic.rx.frame", "usbnic.rx.dropped",
          "usb.setup.bRequest", "usb.control.Response", "_ws.malformed", "_ws.expert.message"]


def decode(capture, *options):
    # An empty home: no personal preferences or plugins (an installed copy of this dissector
    # among them) change what tshark decodes.
    home = os.path.join(os.path.dirname(capture), "home")
    os.makedirs(home, exist_ok=True)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    command = [tshark, "-n", "-X", "lua_script:" + dissector, *options, "-r", capture, "-T", "fields",
               "-E", "separator=/t", "-E", "occurrence=a", "-E", "aggregator=,"]
    for field in FIELDS:
        command += ["-e", field]
    result = subprocess.run(command, capture_output=True, text=True, env=env)
    assert result.returncode == 0, f"{' '.join(command)}: {result.stderr}"
    noise = [l for l in result.stderr.splitlines() if l.strip() and "Running as user" not in l]
    check(not noise, f"{capture}: tshark said {noise[:5]}")
    rows = {}
    for line in result.stdout.splitlines():
        row = dict(zip(FIELDS, line.split("\t")))
        rows[int(row["frame.number"])] = row
    return rows


def check_register_requests(name, urbs, rows):
    submits, named = {}, 0
    for u in urbs:
        row = rows[u.frame]
        if u.transfer != 2:
            continue
        if u.type == "S":
            request_type, request, _, register, count = struct.unpack("<BBHHH", u.setup)
            submits[(u.device, u.id)] = (request_type, request, register, count)
        else:
            request_type, request, register, count = submits[(u.device, u.id)]
        vendor = (request_type, request) in ((0xC0, 0xF0), (0x40, 0xF1))
        if not vendor:
            check(row["usbnic.request"] == "",
                  f"{name} frame {u.frame}: a standard request decoded as {row['_ws.col.Info']!r}")
            continue
        named += 1
        want = (f"0x{request:02x}", f"0x{register:04x}", str(count))
        got = (row["usbnic.request"], row["usbnic.register"], row["usbnic.count"])
        check(got == want, f"{name} frame {u.frame}: request, register, count {got}, the record says {want}")
        word = "Register read " if request == 0xF0 else "Register write "
        check(row["_ws.col.Info"].startswith(word), f"{name} frame {u.frame}: Info {row['_ws.col.Info']!r}")
        # A write's values travel in its submission, a read's in its completion.
        carries = (u.type == "S") == (request == 0xF1) and u.status in (0, -115)
        values = ",".join(f"0x{b:02x}" for b in u.data) if carries else ""
        check(row["usbnic.value"] == values,
              f"{name} frame {u.frame}: values {row['usbnic.value']!r}, the record carries {values!r}")
        # Wireshark's own decode of the request stays beside this one, for the filters users know.
        usb_layer = (row["usb.setup.bRequest"], row["usb.control.Response"])
        want = (str(request), "") if u.type == "S" else ("", u.data.hex() if carries else "")
        check(usb_layer == want, f"{name} frame {u.frame}: Wireshark's own bRequest and response data {usb_layer}, "
                                 f"the record says {want}")
    check(named > 0 and named == 2 * len([s for s in submits.values() if s[1] in (0xF0, 0xF1)]),
          f"{name}: {named} register request records named")


def check_frames(name, urbs, rows, wire, partners, adapters):
    completion = {(u.device, u.id): u for u in urbs if u.type == "C"}
    sent, received, dropped = collections.Counter(), collections.Counter(), 0
    for u in urbs:
        if u.transfer != 3 or not u.data:
            continue
        row = rows[u.frame]
        if u.type == "S" and not u.endpoint & 0x80:
            if check(row["usbnic.tx.frame"], f"{name} frame {u.frame}: bulk-out transfer not decoded"):
                if completion[(u.device, u.id)].status == 0:  # a failed transfer never reached the device
                    sent[bytes.fromhex(row["usbnic.tx.frame"])] += 1
        elif u.type == "C" and u.endpoint & 0x80 and u.status == 0:
            if check(row["usbnic.rx.frame"], f"{name} frame {u.frame}: bulk-in transfer not decoded"):
                received[bytes.fromhex(row["usbnic.rx.frame"])] += 1
                dropped += row["usbnic.rx.dropped"] == "1"
    from_adapter = collections.Counter(f for f in wire if f[6:12] not in partners)
    from_partners = collections.Counter(f for f in wire if f[6:12] in partners)

    def total(*keys):
        return sum(a[k] for a in adapters.values() for k in keys)

    check(sum(sent.values()) == total("bulk_out_to_device"),
          f"{name}: {sum(sent.values())} bulk-out frames decoded, the bus handed {total('bulk_out_to_device')} to the device")
    check(sum(from_adapter.values()) == total("tx_crossed") and not from_adapter - sent,
          f"{name}: wire frames from the adapter missing from the bulk-out frames: "
          f"{[f.hex()[:48] for f in from_adapter - sent][:3]}")
    kept_off = total("tx_dropped_no_link", "tx_dropped_mac_off", "tx_malformed", "tx_medium_busy", "tx_in_flight")
    check(sum((sent - from_adapter).values()) == kept_off,
          f"{name}: {sum((sent - from_adapter).values())} bulk-out frames not on the wire, the device kept {kept_off} off")
    check(sum(received.values()) == total("rx_delivered") and not received - from_partners,
          f"{name}: bulk-in frames that no partner sent: {[f.hex()[:48] for f in received - from_partners][:3]}")
    undelivered = total("rx_not_received", "rx_filtered", "rx_mac_off", "rx_overflow", "rx_queued")
    check(sum((from_partners - received).values()) == undelivered,
          f"{name}: {sum((from_partners - received).values())} partner frames not in a bulk-in transfer, "
          f"the device says {undelivered} were not delivered")
    check(dropped == total("rx_delivered") - total("frames_indicated"),
          f"{name}: {dropped} frames decoded as dropped, NDIS saw "
          f"{total('rx_delivered') - total('frames_indicated')} delivered frames not indicated")
    return sum(sent.values()), sum(received.values())


def device_descriptors(urbs):
    """Devices whose GET_DESCRIPTOR(DEVICE) the capture shows answered: the ones Wireshark can
    know by vendor and product id."""
    asked = {(u.device, u.id) for u in urbs if u.type == "S" and u.transfer == 2 and u.setup[:2] == b"\x80\x06"
             and u.setup[3] == 1}
    return {u.device for u in urbs if u.type == "C" and (u.device, u.id) in asked and u.status == 0 and u.data}


def check_two_passes(name, usb, rows):
    """tshark -2 builds no tree in its first pass: the frames must still reach ARP, IP and ICMP
    there (or their conversations are half missing), and the second pass shows what one pass does."""
    ours = [f for f in FIELDS if f.startswith("usbnic.")]
    for number, row in decode(usb, "-2").items():
        check(row["_ws.malformed"] == "" and row["_ws.expert.message"] == "",
              f"{name} frame {number}, two passes ({row['_ws.col.Info']}): malformed {row['_ws.malformed']!r}, "
              f"expert {row['_ws.expert.message']!r}")
        check([row[f] for f in ours] == [rows[number][f] for f in ours],
              f"{name} frame {number}: two passes decode {row['_ws.col.Info']!r}, one pass "
              f"{rows[number]['_ws.col.Info']!r}")


def check_story(name, scenario, partners_of, plain_experts, known_devices, two_passes=False):
    with tempfile.TemporaryDirectory(dir=os.environ.get("TEST_TMPDIR")) as tmp:
        usb, wire = os.path.join(tmp, "usb.pcap"), os.path.join(tmp, "wire.pcap")
        run = subprocess.run([nicsim, "run", scenario, "--json", "--pcap-usb", usb, "--pcap-wire", wire],
                             capture_output=True, text=True)
        if not check(run.returncode == 0, f"{name}: nicsim run exited {run.returncode}: {run.stderr}"):
            return
        adapters = json.loads(run.stdout)["adapters"]
        frames = []
        for path in sorted(glob.glob(os.path.join(tmp, "wire*.pcap"))):
            link_type, records = pcap_records(path)
            check(link_type == 1, f"{path}: link type {link_type}")
            frames += records
        urbs = usbmon(usb)
        check(device_descriptors(urbs) == known_devices,
              f"{name}: device descriptors answered for {device_descriptors(urbs)}, expected {known_devices}")
        rows = decode(usb, *(ARP_OFF if plain_experts else []))
        check(sorted(rows) == [u.frame for u in urbs], f"{name}: tshark decoded {len(rows)} of {len(urbs)} records")
        for number, row in rows.items():
            check(row["_ws.malformed"] == "" and row["_ws.expert.message"] == "",
                  f"{name} frame {number} ({row['_ws.col.Info']}): malformed {row['_ws.malformed']!r}, "
                  f"expert {row['_ws.expert.message']!r}")
        check_register_requests(name, urbs, rows)
        if two_passes:
            check_two_passes(name, usb, rows)
        sent, received = check_frames(name, urbs, rows, frames, partners_of, adapters)
        if plain_experts:
            plain = decode(usb)
            said = collections.Counter(m for row in plain.values() for m in row["_ws.expert.message"].split(",") if m)
            check(said == collections.Counter(plain_experts),
                  f"{name}: without -o arp.detect_duplicate_ips:FALSE tshark said {dict(said)}")
        print(f"{name}: {len(urbs)} records, {sent} frames sent and {received} received through the device, "
              f"{len(frames)} on the wire")


def partners(scenario_json):
    return {bytes.fromhex(l["peer"]["mac"].replace(":", "").replace("-", ""))
            for l in scenario_json["links"] if "peer" in l}


def shown(name):
    return json.loads(subprocess.run([nicsim, "show", name], capture_output=True, text=True, check=True).stdout)


with open(fault_scenario) as f:
    fault_partners = partners(json.load(f))
check_story("default", "default", partners(shown("default")), [ARP_DUPLICATE], {2})
check_story("usb_faults", fault_scenario, fault_partners, [], set(), two_passes=True)

for failure in failures[:20]:
    print("FAIL:", failure)
if len(failures) > 20:
    print(f"... and {len(failures) - 20} more")
sys.exit(1 if failures else 0)
