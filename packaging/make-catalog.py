#!/usr/bin/python3
"""Writes a driver package's catalog the way Windows' catalog tools lay one out: an unsigned
PKCS #7 signed-data whose content is a certificate trust list with one member per file, keyed by
the file's SHA-256 hash, and the catalog attributes Plug and Play checks (OSAttr, hardware IDs).
Signing it is a separate step (scripts/sign-test.sh, osslsigncode).

usage: make-catalog.py --inf PACKAGE.inf --out PACKAGE.cat FILE...

The ASN.1 is encoded by asn1crypto; the Authenticode hash and page hashes of a PE file are
computed by osslsigncode (extract-data), so this file only arranges the structures.
"""
import argparse
import datetime
import hashlib
import os
import re
import subprocess
import sys
import tempfile

from inf_file import read_inf

try:
    from asn1crypto import algos, cms, core
except ImportError:
    sys.exit('make-catalog: needs python3-asn1crypto (bash scripts/setup.sh)')

# Object identifiers of the catalog format (wintrust's mscat.h and wincrypt.h).
CTL = '1.3.6.1.4.1.311.10.1'
CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'
# Catalog version 2: members hashed with SHA-256, read by Windows 8 and later.
CATALOG_LIST_MEMBER_V2 = '1.3.6.1.4.1.311.12.1.3'
CAT_NAMEVALUE = '1.3.6.1.4.1.311.12.2.1'
CAT_MEMBERINFO = '1.3.6.1.4.1.311.12.2.2'
SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
SPC_CAB_DATA = '1.3.6.1.4.1.311.2.1.25'

# The subject interface package that hashes a member: PE images by their Authenticode hash,
# anything else (the INF) as a flat file.
SIP_PE_IMAGE = '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}'
SIP_FLAT_FILE = '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'
MEMBER_CERT_VERSION = 0x200

# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
ATTR_FLAGS = 0x10010001

# The x64 Windows versions (major.minor) that read a SHA-256 catalog: 8, 8.1, 10 and 11.
SHA256_CATALOG_X64_VERSIONS = [(6, 2), (6, 3), (10, 0)]


class SetOfAny(core.SetOf):
    _child_spec = core.Any


class CatalogAttribute(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('values', SetOfAny)]


class CatalogAttributes(core.SetOf):
    _child_spec = CatalogAttribute


class CatalogMember(core.Sequence):
    _fields = [
        ('subject_identifier', core.OctetString),
        ('attributes', CatalogAttributes, {'optional': True}),
    ]


class CatalogMembers(core.SequenceOf):
    _child_spec = CatalogMember


class CatalogExtension(core.Sequence):
    _fields = [
        ('extn_id', core.ObjectIdentifier),
        ('critical', core.Boolean, {'default': False}),
        ('extn_value', core.OctetString),
    ]


class CatalogExtensions(core.SequenceOf):
    _child_spec = CatalogExtension


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AttributeTypeAndOptionalValue(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('value', core.Any, {'optional': True})]


class CertificateTrustList(core.Sequence):
    _fields = [
        ('subject_usage', SubjectUsage),
        ('list_identifier', core.OctetString),
        ('this_update', core.UTCTime),
        ('subject_algorithm', AttributeTypeAndOptionalValue),
        ('trusted_subjects', CatalogMembers),
        ('extensions', CatalogExtensions, {'explicit': 0, 'optional': True}),
    ]


class CatNameValue(core.Sequence):
    _fields = [('tag', core.BMPString), ('flags', core.Integer), ('value', core.OctetString)]


class CatMemberInfo(core.Sequence):
    _fields = [('subject_guid', core.BMPString), ('cert_version', core.Integer)]


class SpcString(core.Choice):
    _alternatives = [
        ('unicode', core.BMPString, {'implicit': 0}),
        ('ascii', core.IA5String, {'implicit': 1}),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ('url', core.IA5String, {'implicit': 0}),
        ('file', SpcString, {'explicit': 2}),
    ]


class DigestInfo(core.Sequence):
    _fields = [('digest_algorithm', algos.DigestAlgorithm), ('digest', core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [('data', AttributeTypeAndOptionalValue), ('message_digest', DigestInfo)]


def name_value(tag, value):
    # The value is UTF-16LE with its terminating null, as the catalog API stores text.
    return CatNameValue({'tag': tag, 'flags': ATTR_FLAGS, 'value': (value + '\0').encode('utf-16-le')})


def attribute(oid, value):
    return CatalogAttribute({'type': oid, 'values': [core.Any(value)]})


def os_attributes_and_hardware_ids(inf_path):
    """OSAttr for the models' decorations, and the hardware IDs the models bind."""
    sections = read_inf(inf_path)
    minimum, hardware_ids = None, []
    for line in sections.get('manufacturer', []):
        fields = [f.strip() for f in line.split('=', 1)[1].split(',')]
        models, decorations = fields[0], fields[1:] or ['']
        for decoration in decorations:
            # NT[Architecture][.Major[.Minor[...]]]
            match = re.fullmatch(r'nt(amd64|x86|ia64|arm|arm64)?(?:\.(\d+)(?:\.(\d+))?)?.*',
                                 decoration.lower())
            if not match or match.group(1) not in (None, 'amd64'):
                sys.exit(f'make-catalog: {inf_path}: decoration "{decoration}" is not an x64 one')
            # A models section without a version serves every version: the lowest bound is none.
            version = (int(match.group(2)), int(match.group(3) or 0)) if match.group(2) else (0, 0)
            minimum = version if minimum is None else min(minimum, version)
            section = f'{models}.{decoration}'.lower() if decoration else models.lower()
            for model in sections.get(section, []):
                ids = [i.strip().lower() for i in model.split('=', 1)[1].split(',')[1:]]
                hardware_ids += [i for i in ids if i and i not in hardware_ids]
    versions = [v for v in SHA256_CATALOG_X64_VERSIONS if minimum is None or v >= minimum]
    if not versions:
        sys.exit(f'make-catalog: {inf_path}: its models target no version a SHA-256 catalog serves')
    return ','.join(f'2:{major}.{minor}' for major, minor in versions), hardware_ids


def pe_indirect_data(path):
    """The Authenticode indirect data of a PE image, with SHA-256 page hashes, from osslsigncode."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, 'data.der')
        try:
            subprocess.run(['osslsigncode', 'extract-data', '-h', 'sha256', '-ph', '-in', path, '-out', out],
                           check=True, stdout=subprocess.DEVNULL)
        except (OSError, subprocess.CalledProcessError) as error:
            sys.exit(f'make-catalog: osslsigncode 2.8 or later could not hash {path} ({error}); '
                     'bash scripts/setup.sh installs it')
        with open(out, 'rb') as data:
            signed = cms.ContentInfo.load(data.read())['content']
    content = signed['encap_content_info']
    if content['content_type'].dotted != SPC_INDIRECT_DATA:
        sys.exit(f'make-catalog: osslsigncode gave no indirect data for {path}')
    indirect = SpcIndirectDataContent.load(content['content'].dump(), explicit=0).untag()
    return indirect, indirect['message_digest']['digest'].native


def flat_indirect_data(path):
    with open(path, 'rb') as member:
        digest = hashlib.sha256(member.read()).digest()
    indirect = SpcIndirectDataContent({
        'data': {'type': SPC_CAB_DATA,
                 'value': SpcLink(name='file', value=SpcString(name='unicode', value='<<<Obsolete>>>'))},
        'message_digest': {'digest_algorithm': {'algorithm': 'sha256', 'parameters': core.Null()},
                           'digest': digest},
    })
    return indirect, digest


def member(path, os_attr):
    with open(path, 'rb') as head:
        is_pe = head.read(2) == b'MZ'
    indirect, digest = pe_indirect_data(path) if is_pe else flat_indirect_data(path)
    # The member's tag is its hash in upper-case hex, a null-terminated UTF-16LE string.
    tag = (digest.hex().upper() + '\0').encode('utf-16-le')
    return CatalogMember({
        'subject_identifier': tag,
        'attributes': [
            attribute(CAT_NAMEVALUE, name_value('File', os.path.basename(path))),
            attribute(CAT_NAMEVALUE, name_value('OSAttr', os_attr)),
            attribute(CAT_MEMBERINFO, CatMemberInfo({
                'subject_guid': (SIP_PE_IMAGE if is_pe else SIP_FLAT_FILE) + '\0',
                'cert_version': MEMBER_CERT_VERSION})),
            attribute(SPC_INDIRECT_DATA, indirect),
        ],
    }), digest


def main():
    parser = argparse.ArgumentParser(description='Write an unsigned driver package catalog.')
    parser.add_argument('--inf', required=True, help='the package INF (also a member)')
    parser.add_argument('--out', required=True)
    parser.add_argument('files', nargs='+', help='the files the INF installs')
    args = parser.parse_args()

    os_attr, hardware_ids = os_attributes_and_hardware_ids(args.inf)
    members, digests = [], []
    for path in [args.inf] + [f for f in args.files if f != args.inf]:
        entry, digest = member(path, os_attr)
        members.append(entry)
        digests.append(digest)

    extensions = [('OSAttr', os_attr)] + [(f'HWID{i}', h) for i, h in enumerate(hardware_ids, 1)]
    # SOURCE_DATE_EPOCH and an identifier derived from the members keep rebuilds byte-identical.
    now = int(os.environ.get('SOURCE_DATE_EPOCH', datetime.datetime.now().timestamp()))
    # Explicitly tagged [0] here: the PKCS #7 content slot is [0] EXPLICIT ANY, and asn1crypto
    # leaves the tagging of an unmapped content type to the value.
    ctl = CertificateTrustList({
        'subject_usage': [CATALOG_LIST],
        'list_identifier': hashlib.sha256(b''.join(digests)).digest()[:16],
        'this_update': datetime.datetime.fromtimestamp(now, datetime.timezone.utc).replace(microsecond=0),
        'subject_algorithm': {'type': CATALOG_LIST_MEMBER_V2, 'value': core.Null()},
        'trusted_subjects': members,
        'extensions': [{'extn_id': CAT_NAMEVALUE, 'extn_value': name_value(tag, value).dump()}
                       for tag, value in extensions],
    }, explicit=0)
    catalog = cms.ContentInfo({
        'content_type': 'signed_data',
        'content': cms.SignedData({
            'version': 'v1',
            'digest_algorithms': [],
            'encap_content_info': {'content_type': CTL, 'content': ctl},
            'signer_infos': [],
        }),
    })
    with open(args.out, 'wb') as out:
        out.write(catalog.dump())


if __name__ == '__main__':
    main()
