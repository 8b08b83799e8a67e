"""Changes the Authenticode signature of a signed PE file where no hash covers it, as an attacker
would, for the signature tables (tests/servers/start-signing.sh). Runs under Debian's Python,
which has python3-asn1crypto (scripts/install-deps.sh).

  craft_signature.py add-crl IN CRL.der OUT   a CRL in the outer SignedData
  craft_signature.py countersign IN OUT       a legacy countersignature (1.2.840.113549.1.9.6)
                                              beside the signer's own attributes
  craft_signature.py change-nested IN OUT     the first nested signature's signed content changed
                                              (its signature over the attributes still verifies)
  craft_signature.py change-stamp IN OUT      the time-stamp token's TSTInfo changed the same way
  craft_signature.py graft-stamp IN FROM OUT  the time-stamp token of FROM's signature beside IN's
                                              own attributes: a valid token for another signature
"""

import struct
import sys

from asn1crypto import cms, core, crl

NESTED = "1.3.6.1.4.1.311.2.4.1"
TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"


def security_directory(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    return pe + 24 + (96 if magic == 0x10B else 112) + 4 * 8


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, security_directory(data))[0]
    return data, cms.ContentInfo.load(data[offset + 8:], strict=False)


def write(path, data, info):
    directory = security_directory(data)
    offset = struct.unpack_from("<I", data, directory)[0]
    signature = info.dump()
    padded = signature + b"\0" * (-len(signature) % 8)
    entry = struct.pack("<IHH", 8 + len(padded), 0x0200, 0x0002) + padded
    out = bytearray(data[:offset]) + entry
    struct.pack_into("<I", out, directory + 4, len(entry))
    with open(path, "wb") as f:
        f.write(out)


def change_content(token):
    """The SignedData `token` (a ContentInfo) with the last byte of its signed content flipped."""
    signed = token["content"]
    content = bytearray(signed["encap_content_info"].dump())
    content[-1] ^= 0x01
    signed["encap_content_info"] = type(signed["encap_content_info"]).load(bytes(content))
    token["content"] = signed
    return token


def main():
    command, source, *rest = sys.argv[1:]
    data, info = read(source)
    signed = info["content"]
    signer = signed["signer_infos"][0]
    attributes = [] if isinstance(signer["unsigned_attrs"], core.Void) else list(signer["unsigned_attrs"])
    if command == "add-crl":
        with open(rest[0], "rb") as f:
            signed["crls"] = cms.RevocationInfoChoices([cms.RevocationInfoChoice(
                name="crl", value=crl.CertificateList.load(f.read()))])
    elif command == "countersign":
        # A countersignature is a SignerInfo; the outer signer's own serves.
        attributes.append(cms.CMSAttribute({"type": "counter_signature",
                                            "values": [cms.SignerInfo.load(signer.dump())]}))
    elif command in ("change-nested", "change-stamp"):
        oid = NESTED if command == "change-nested" else TIME_STAMP
        (index,) = [i for i, a in enumerate(attributes) if a["type"].dotted == oid]
        attribute = attributes[index]
        values = list(attribute["values"])
        values[0] = change_content(values[0])
        attribute["values"] = values
        attributes[index] = attribute
    elif command == "graft-stamp":
        _, donor = read(rest[0])
        attributes += [a for a in donor["content"]["signer_infos"][0]["unsigned_attrs"] if a["type"].dotted == TIME_STAMP]
    else:
        raise SystemExit(__doc__)
    # Each level is set again, so that it is encoded anew from its children; what was not
    # changed keeps its bytes.
    if attributes:
        signer["unsigned_attrs"] = attributes
    signed["signer_infos"] = [signer]
    info["content"] = signed
    write(rest[-1], data, info)


if __name__ == "__main__":
    main()
