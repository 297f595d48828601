"""The farm's wire contract (farm.schema.json beside this file, and the rules around it in
docs/mqtt-topics.md) applied to MQTT messages: a module for tests and tools, and a command that
checks what a broker carries, as mosquitto_sub prints it:

    mosquitto_sub -h BROKER -q 1 -t 'brevant/#' -F '%t %r %q %x' | python3 farm/wire/contract.py [--producer] [--prefix P]

prints every message that breaks the contract, with what is wrong, and exits 1 if any did (lines
without the QoS, '%t %r %x', are read too).
Needs python3-jsonschema (Debian's package).

problems(topic, payload) lists what is wrong with a message in the consumer's view: the schema as
it is, where a field a consumer does not know is allowed. With producer=True it is the
publisher's view: every object of the schema is closed (no property besides those it defines), so
a field renamed on the publisher's side alone fails. Definitions are composed of pieces (allOf,
$ref, if/then), so objects are closed with unevaluatedProperties, which sees through them, rather
than additionalProperties, which would refuse the pieces' fields."""

import argparse
import json
import os
import re
import sys

import jsonschema

SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "farm.schema.json")
with open(SCHEMA_FILE) as f:
    SCHEMA = json.load(f)

# The definition each JSON topic's payload follows, by the topic's last level.
DEFINITIONS = {"status": "status", "job": "job", "progress": "progress", "events": "event"}
# PREFIX/MACHINE/status|job|events or PREFIX/MACHINE/items/ITEM/progress|thumbnail; ITEM 1 to 1000.
TOPIC = re.compile(r"([^/]+)/(?:(status|job|events)|items/([0-9]{1,6})/(progress|thumbnail))")
MAX_ITEM = 1000


def closed(schema):
    """`schema` with every object schema refusing properties that nothing in it evaluates."""
    if isinstance(schema, list):
        return [closed(s) for s in schema]
    if not isinstance(schema, dict):
        return schema
    schema = {key: closed(value) for key, value in schema.items()}
    return {**schema, "unevaluatedProperties": False} if schema.get("type") == "object" else schema


# A JSON integer is written without a fraction: 1.0 is a number, as the dashboard's parser reads it.
_Validator = jsonschema.validators.extend(jsonschema.Draft202012Validator, type_checker=(
    jsonschema.Draft202012Validator.TYPE_CHECKER.redefine(
        "integer", lambda _, value: isinstance(value, int) and not isinstance(value, bool))))
_VALIDATORS = {(name, producer): _Validator({"$defs": closed(SCHEMA["$defs"]) if producer else SCHEMA["$defs"],
                                             "$ref": "#/$defs/" + name})
               for name in DEFINITIONS.values() for producer in (False, True)}


def schema_problems(definition, value, producer=False):
    """What is wrong with `value` (parsed JSON) as the schema's `definition` ("status", "job",
    "progress" or "event"): one text per fault, "path: message"."""
    errors = sorted(_VALIDATORS[definition, producer].iter_errors(value), key=lambda e: list(map(str, e.absolute_path)))
    paths = ["/".join(map(str, e.absolute_path)) for e in errors]
    return [(path + ": " if path else "") + e.message[:300] for path, e in zip(paths, errors)]


def publisher_qos(kind, value):
    """The QoS levels the publisher sends a message of `kind` (a topic's last level) at, `value`
    its parsed payload. Frames go at QoS 0 (a progress, a thumbnail, a JobItemUpdate): the next
    one supersedes them, and a persistent session must not queue them. What matters message by
    message goes at QoS 1: the job, the other events, a change of status (online at connect,
    offline, the last will); the status's periodic refresh goes at QoS 0."""
    value = value if isinstance(value, dict) else {}
    if kind == "events":
        return {0} if value.get("event") == "JobItemUpdate" else {1}
    if kind == "status":
        return {1} if value.get("state") == "offline" else {0, 1}
    return {1} if kind == "job" else {0}


def _refuse(constant):
    raise ValueError(f"{constant} is not JSON")


def problems(topic, payload, producer=False, retained=None, prefix="brevant", qos=None):
    """What is wrong with one message (bytes or text) on `topic` under `prefix`, each as
    "TOPIC: what"; empty when it keeps to the contract. Checks the topic's shape; an empty
    payload (it clears a retained topic: never an event, and from the publisher only an item's); a thumbnail's
    JPEG markers; any other payload as one UTF-8 JSON object of the topic's definition, whose
    `machine` is the topic's and whose `item` (progress) is the topic's. `retained`, when known,
    must be false on events; `qos`, when known, must be the publisher's (publisher_qos) in the
    publisher's view (a consumer takes any). The byte bounds of what a consumer takes are not
    checked here."""
    payload = payload.encode() if isinstance(payload, str) else payload
    match = TOPIC.fullmatch(topic[len(prefix) + 1:]) if topic.startswith(prefix + "/") else None
    if not match or match[3] and not 1 <= int(match[3]) <= MAX_ITEM:
        return [f"{topic}: not a farm topic under {prefix}/"]
    machine, kind, item = match[1], match[2] or match[4], match[3] and int(match[3])
    if kind == "events" and retained:
        return [f"{topic}: events are not retained"]

    def wrong_qos(value=None):
        allowed = publisher_qos(kind, value)
        return [] if not producer or qos is None or qos in allowed else [
            f"QoS {qos}, where the publisher's is {' or '.join(map(str, sorted(allowed)))}"]
    if not payload:  # a cleared retained topic: the publisher clears items, an operator a retired machine
        if kind == "events":
            return [f"{topic}: an event is never empty"]
        found = ["the publisher clears only an item's topics"] if producer and not item else wrong_qos()
        return [f"{topic}: {text}" for text in found]
    if kind == "thumbnail":
        jpeg = len(payload) >= 4 and payload[:3] == b"\xff\xd8\xff" and payload[-2:] == b"\xff\xd9"
        return [f"{topic}: {text}" for text in (wrong_qos() if jpeg else ["not a JPEG (FF D8 FF ... FF D9)"])]
    try:
        value = json.loads(payload.decode("utf-8"), parse_constant=_refuse)
    except ValueError as error:  # UnicodeDecodeError and JSONDecodeError are ValueErrors
        return [f"{topic}: not UTF-8 JSON: {error}"]
    found = schema_problems(DEFINITIONS[kind], value, producer) + wrong_qos(value)
    if isinstance(value, dict) and value.get("machine") != machine:
        found.append(f"machine: {value.get('machine')!r} is not the topic's {machine!r}")
    if kind == "progress" and isinstance(value, dict) and value.get("item") != item:
        found.append(f"item: {value.get('item')!r} is not the topic's {item}")
    return [f"{topic}: {text}" for text in found]


def main(argv=None, lines=sys.stdin, out=sys.stdout):
    parser = argparse.ArgumentParser(description="Checks mosquitto_sub -F '%t %r %q %x' (or '%t %r %x') lines against "
                                                 "the farm's wire contract.")
    parser.add_argument("--prefix", default="brevant", help="the publishers' topic prefix")
    parser.add_argument("--producer", action="store_true", help="the publisher's view: no field the contract does not name")
    args = parser.parse_args(argv)
    bad = 0
    for line in lines:
        fields = line.rstrip("\n").split(" ")
        qos = fields.pop(2) if len(fields) == 4 else None
        topic, retained, payload = (fields + ["", ""])[:3]
        found = problems(topic, bytes.fromhex(payload), args.producer, retained == "1", args.prefix,
                         None if qos is None else int(qos))
        bad += bool(found)
        for problem in found:
            print(problem, file=out)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
