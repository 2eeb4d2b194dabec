#!/usr/bin/env python3
"""Writes the German texts of de.py into ZorvikHollin_de.ts (after lupdate added new sources).

Usage: translations/fill_translations.py [translations/ZorvikHollin_de.ts]
Fails, naming them, when a source text has no German text yet."""
import os
import sys
import xml.etree.ElementTree as ET

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, here)
from de import DE, BY_CONTEXT  # noqa: E402

path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "ZorvikHollin_de.ts")
tree = ET.parse(path)
missing = []
for context in tree.getroot().findall("context"):
    name = context.find("name").text
    for message in context.findall("message"):
        source = message.find("source").text
        text = BY_CONTEXT.get((name, source), DE.get(source))
        if text is None:
            missing.append((name, source))
            continue
        old = message.find("translation")
        if old is not None:
            message.remove(old)
        translation = ET.SubElement(message, "translation")
        if message.get("numerus") == "yes":
            forms = text if isinstance(text, list) else [text, text]
            for form in forms:
                ET.SubElement(translation, "numerusform").text = form
        else:
            translation.text = text[0] if isinstance(text, list) else text
tree.write(path, encoding="utf-8", xml_declaration=True)
with open(path, encoding="utf-8") as f:
    body = f.read()
with open(path, "w", encoding="utf-8") as f:
    f.write(body.replace("<?xml version='1.0' encoding='utf-8'?>", '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE TS>'))
if missing:
    for name, source in missing:
        print("no German text: %s: %r" % (name, source), file=sys.stderr)
    sys.exit(1)
