"""docs/events.schema.json against lines of every event type: the end-to-end tests validate
everything the programs write against it, so it must accept every form an event takes and
turn away the faults it exists to catch."""

import json
import sys

from harness import TestRun, parse_event, validator

ZOOM = '"appName":"Zoom","bundleId":"Zoom.exe"'
VALID = {
    "started": '{"ts":1765181234.5,"type":"started"}',
    "state": '{"active":true,' + ZOOM + ',"captureActive":true,"captureEndpointRole":'
             '"communications","pid":4120,"renderActive":true,"ts":1765181234.5,'
             '"type":"call_app_mic_state"}',
    "state of two processes": '{"active":true,' + ZOOM + ',"captureActive":true,'
             '"captureEndpointRole":"ambiguous","pid":null,"renderActive":false,"ts":0.0,'
             '"type":"call_app_mic_state"}',
    "inactive state": '{"active":false,' + ZOOM + ',"captureActive":false,'
             '"captureEndpointRole":"unknown","pid":null,"renderActive":true,"ts":1e+16,'
             '"type":"call_app_mic_state"}',
    "meeting_started": '{' + ZOOM + ',"captureActive":true,"captureEndpointRole":"other",'
             '"pid":null,"renderActive":false,"ts":1.5,"type":"meeting_started"}',
    "call_app_mic_ended": '{' + ZOOM + ',"captureActive":false,"captureEndpointRole":"unknown",'
             '"renderActive":false,"ts":1.5,"type":"call_app_mic_ended"}',
    "meeting_ended": '{"ts":1.5,"type":"meeting_ended"}',
    "snapshot": '{"activeApps":[{"appName":"a.exe","bundleId":"a.exe","captureActive":true,'
             '"captureEndpointRole":"system_default","pid":7,"renderActive":false}],'
             '"activeProcessCount":1,"kolvexInputActive":false,"processCount":2,'
             '"trackedActiveProcessCount":0,"trackedApps":[{"active":false,' + ZOOM + ','
             '"captureActive":false,"captureEndpointRole":"unknown","pid":4294967295,'
             '"renderActive":true}],"trackedProcessCount":1,"ts":2.0,'
             '"type":"audio_process_snapshot"}',
    "snapshot of a process known by name": '{"activeApps":[{"appName":"Zoom","bundleId":"zoom",'
             '"captureActive":true,"captureEndpointRole":"communications","pid":null,'
             '"renderActive":false}],"activeProcessCount":1,"kolvexInputActive":false,'
             '"processCount":1,"trackedActiveProcessCount":1,"trackedApps":[{"active":true,'
             '"appName":"Zoom","bundleId":"zoom","captureActive":true,"captureEndpointRole":'
             '"communications","pid":null,"renderActive":false}],"trackedProcessCount":1,'
             '"ts":2.0,"type":"audio_process_snapshot"}',
    "state change": '{"change":"endpoint_state_changed","contractVersion":1,"role":"none",'
             '"scope":"render","sequence":18446744073709551615,"state":"not_present","ts":2.0,'
             '"type":"device_lifecycle"}',
    "default change": '{"change":"default_role_changed","contractVersion":1,'
             '"role":"system_default","scope":"capture","sequence":1,"ts":2.0,'
             '"type":"device_lifecycle"}',
    "listener_failed": '{"change":"listener_failed","contractVersion":1,"role":"none",'
             '"scope":"unknown","sequence":2,"ts":2.0,"type":"device_lifecycle"}',
}
GONE = object()
# (valid line, what is changed in it): each is a fault the schema must reject.
INVALID = [
    ("started", {"type": "stopped"}),
    ("started", {"pid": 1}),
    ("started", {"ts": "1765181234.5"}),
    ("started", {"ts": -1.0}),
    ("state", {"pid": GONE}),
    ("state", {"pid": 0}),
    ("state", {"pid": 4294967296}),
    ("state", {"active": False}),
    ("state", {"captureEndpointRole": "default"}),
    ("state", {"bundleId": ""}),
    ("inactive state", {"pid": 4120}),
    ("inactive state", {"captureEndpointRole": "communications"}),
    ("meeting_started", {"active": True}),
    ("meeting_started", {"captureActive": False}),
    ("call_app_mic_ended", {"pid": None}),
    ("call_app_mic_ended", {"captureActive": True}),
    ("meeting_ended", {"bundleId": "Zoom.exe"}),
    ("snapshot", {"kolvexInputActive": True}),
    ("snapshot", {"processCount": -1}),
    ("snapshot", {"activeApps": [{"appName": "a", "bundleId": "a", "captureActive": False,
                                  "captureEndpointRole": "unknown", "pid": 7,
                                  "renderActive": True}]}),
    ("snapshot", {"trackedApps": [{"active": True, "appName": "Zoom", "bundleId": "Zoom.exe",
                                   "captureActive": True, "captureEndpointRole": "other",
                                   "pid": 0, "renderActive": True}]}),
    ("state change", {"sequence": 0}),
    ("state change", {"contractVersion": 2}),
    ("state change", {"state": GONE}),
    ("state change", {"state": None}),
    ("state change", {"role": "communications"}),
    ("default change", {"state": "active"}),
    ("default change", {"role": "none"}),
    ("default change", {"role": "multimedia"}),
    ("default change", {"scope": "render"}),
    ("listener_failed", {"scope": "capture"}),
    ("listener_failed", {"id": "mic"}),
]


def accepted(name):
    parse_event(VALID[name].encode())


def rejected(name, changes):
    event = json.loads(VALID[name])
    for key, value in changes.items():
        if value is GONE:
            del event[key]
        else:
            event[key] = value
    assert not validator().is_valid(event), event


def main():
    test = TestRun()
    for name in VALID:
        test.check("accepted: " + name, lambda n=name: accepted(n))
    for name, changes in INVALID:
        test.check("rejected: %s with %s" % (name, changes), lambda n=name, c=changes: rejected(n, c))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
