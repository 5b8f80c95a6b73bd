#!/usr/bin/python3
"""Holds a driver package's INF to the rules the project's INFs follow, each by name, so that a
failure says which rule broke:

  version-section    [Version] carries Signature "$WINDOWS NT$", Class, ClassGuid, Provider and a
                     DriverVer of the form mm/dd/yyyy,w.x.y.z
  catalog-name       CatalogFile names the catalog of the INF's own name (NAME.inf -> NAME.cat)
  pnp-lockdown       PnpLockdown = 1: nothing but the installer may change the driver's files
  decorated-models   every models section is decorated for x64 (NTamd64); an undecorated one would
                     install on any architecture
  service            every AddService makes the service the device's function driver (0x2), a
                     kernel driver (ServiceType 1) that Plug and Play starts on demand (StartType 3)
  security-string    every install section sets a security descriptor (HKR,,Security) and
                     FILE_DEVICE_SECURE_OPEN (DeviceCharacteristics 0x100) in its .HW section
  no-co-installers   no co-installer: Windows 10 and later refuse packages that carry one
  driver-store       a models section decorated for Windows 10 1709 (10.0...16299) or later runs the
                     driver from the driver store (DIRID 13), and an undecorated-version one keeps
                     the System32 form (DIRID 12) for older versions, which do not know DIRID 13

usage: check-inf.py INF...               checks each INF, prints each rule, exits 1 on a failure
       check-inf.py --fixtures DIR       DIR/good.inf passes every rule; DIR/RULE.inf fails RULE and
                                         only RULE (the test that each rule can fail)

The rules come from the INF reference pages: "INF Version Section", "INF Manufacturer Section"
(decorations), "INF AddService Directive", "Setting Device Object Registry Properties During
Installation" (Security, DeviceCharacteristics), "Using a Universal INF File" (no co-installers) and
"Run From Driver Store" (DIRID 13, from Windows 10 version 1709).
"""
import os
import re
import sys

from inf_file import read_inf

RULES = ['version-section', 'catalog-name', 'pnp-lockdown', 'decorated-models', 'service',
         'security-string', 'no-co-installers', 'driver-store']
FILE_DEVICE_SECURE_OPEN = 0x100
SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
SPSVCINST_ASSOCSERVICE = 0x2
DRIVER_STORE_BUILD = 16299


def entries(lines):
    """key = value lines as (lower-case key, value); lines without '=' as (None, line)."""
    result = []
    for line in lines:
        if '=' in line:
            key, value = line.split('=', 1)
            result.append((key.strip().lower(), value.strip()))
        else:
            result.append((None, line))
    return result


def value(section, key):
    for k, v in entries(section):
        if k == key:
            return v
    return None


def fields(text):
    return [f.strip().strip('"') for f in text.split(',')]


def number(text):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        return None


class Inf:
    def __init__(self, path):
        self.path = path
        self.sections = read_inf(path)
        # (models section, decoration) per decoration of every manufacturer.
        self.models = []
        for key, text in entries(self.sections.get('manufacturer', [])):
            if key is None:
                continue
            parts = fields(text)
            for decoration in parts[1:] or ['']:
                self.models.append((parts[0].lower(), decoration.lower()))

    def section(self, name):
        return self.sections.get(name.lower(), [])

    def install_sections(self, models_name):
        """The DDInstall sections a models section names."""
        names = []
        for key, text in entries(self.section(models_name)):
            if key is not None:
                name = fields(text)[0].lower()
                if name not in names:
                    names.append(name)
        return names

    def all_install_sections(self):
        names = []
        for models, decoration in self.models:
            full = f'{models}.{decoration}' if decoration else models
            names += [n for n in self.install_sections(full) if n not in names]
        return names

    def nt_section(self, install, suffix=''):
        """DDInstall.NT[suffix], falling back to DDInstall[suffix], as Windows looks them up."""
        for name in (f'{install}.ntamd64{suffix}', f'{install}.nt{suffix}', f'{install}{suffix}'):
            if name in self.sections:
                return name
        return None

    def copy_dirids(self, install):
        """The DIRIDs the install section's CopyFiles copy to."""
        section = self.nt_section(install)
        dirs = self.section('destinationdirs')
        default = value(dirs, 'defaultdestdir')
        dirids = []
        for key, text in entries(self.section(section) if section else []):
            if key != 'copyfiles':
                continue
            for copy in fields(text):
                target = value(dirs, copy.lower()) or default
                dirids.append(number(fields(target)[0]) if target else None)
        return dirids

    def services(self, install):
        """(flags, service install section) of every AddService of the install section."""
        section = self.nt_section(install, '.services')
        result = []
        for key, text in entries(self.section(section) if section else []):
            if key == 'addservice':
                parts = fields(text)
                result.append((number(parts[1]) if len(parts) > 1 else None, parts[2] if len(parts) > 2 else ''))
        return result


def check_version_section(inf):
    version = inf.section('version')
    problems = []
    if (value(version, 'signature') or '').strip('"').lower() != '$windows nt$':
        problems.append('Signature is not "$WINDOWS NT$"')
    for key in ('class', 'classguid', 'provider'):
        if not value(version, key):
            problems.append(f'no {key}')
    if not re.fullmatch(r'\d\d/\d\d/\d{4}\s*,\s*\d+\.\d+\.\d+\.\d+', value(version, 'driverver') or ''):
        problems.append('DriverVer is not mm/dd/yyyy,w.x.y.z')
    return problems


def check_catalog_name(inf):
    expected = os.path.splitext(os.path.basename(inf.path))[0].lower() + '.cat'
    named = (value(inf.section('version'), 'catalogfile') or '').lower()
    return [] if named == expected else [f'CatalogFile is "{named}", not {expected}']


def check_pnp_lockdown(inf):
    return [] if value(inf.section('version'), 'pnplockdown') == '1' else ['PnpLockdown is not 1']


def check_decorated_models(inf):
    if not inf.models:
        return ['no models in [Manufacturer]']
    problems = []
    for models, decoration in inf.models:
        if not re.fullmatch(r'ntamd64(\..*)?', decoration):
            problems.append(f'models {models} decorated "{decoration}", not NTamd64')
        elif f'{models}.{decoration}' not in inf.sections:
            problems.append(f'no section [{models}.{decoration}]')
    return problems


def check_service(inf):
    problems = []
    for install in inf.all_install_sections():
        services = inf.services(install)
        if not services:
            problems.append(f'{install}: no AddService')
        for flags, name in services:
            if flags is None or not flags & SPSVCINST_ASSOCSERVICE:
                problems.append(f'{install}: service {name} is not the function driver (flag 0x2)')
            service = inf.section(name)
            if number(value(service, 'servicetype')) != SERVICE_KERNEL_DRIVER:
                problems.append(f'{name}: ServiceType is not 1 (kernel driver)')
            if number(value(service, 'starttype')) != SERVICE_DEMAND_START:
                problems.append(f'{name}: StartType is not 3 (demand start)')
    return problems


def check_security_string(inf):
    problems = []
    for install in inf.all_install_sections():
        hw = inf.nt_section(install, '.hw')
        security = characteristics = None
        for key, text in entries(inf.section(hw) if hw else []):
            if key != 'addreg':
                continue
            for addreg in fields(text):
                for key2, line in entries(inf.section(addreg)):
                    parts = fields(line if key2 is None else f'{key2}={line}')
                    if len(parts) >= 5 and parts[0].upper() == 'HKR' and parts[1] == '':
                        if parts[2].lower() == 'security' and parts[4].startswith('D:P'):
                            security = parts[4]
                        elif parts[2].lower() == 'devicecharacteristics':
                            characteristics = number(parts[4])
        if security is None:
            problems.append(f'{install}: no HKR,,Security,,"D:P..." in its .HW section')
        if characteristics is None or not characteristics & FILE_DEVICE_SECURE_OPEN:
            problems.append(f'{install}: DeviceCharacteristics without FILE_DEVICE_SECURE_OPEN (0x100)')
    return problems


def check_no_co_installers(inf):
    problems = [f'section [{name}]' for name in inf.sections if name.endswith('.coinstallers')]
    for name, lines in inf.sections.items():
        if any('coinstallers32' in line.lower() for line in lines):
            problems.append(f'CoInstallers32 in [{name}]')
    return problems


def check_driver_store(inf):
    store, legacy = False, False
    problems = []
    for models, decoration in inf.models:
        # NTamd64[.Major[.Minor[.ProductType[.SuiteMask[.BuildNumber]]]]]
        match = re.fullmatch(r'ntamd64(?:\.(\d+)(?:\.(\d*))?(?:\.(\w*))?(?:\.(\w*))?(?:\.(\d*))?)?', decoration)
        if not match:
            continue
        full = f'{models}.{decoration}'
        if match.group(1) is None:
            # The form every version knows: a driver store path there would not resolve.
            for install in inf.install_sections(full):
                if 13 in inf.copy_dirids(install):
                    problems.append(f'{install}: copies to DIRID 13, which versions before 1709 do not know')
            legacy = True
            continue
        major, build = int(match.group(1)), int(match.group(5) or 0)
        if major < 10 or (major == 10 and build < DRIVER_STORE_BUILD):
            continue
        for install in inf.install_sections(full):
            dirids = inf.copy_dirids(install)
            binaries = [value(inf.section(name), 'servicebinary') or '' for _, name in inf.services(install)]
            if dirids and all(d == 13 for d in dirids) and binaries and all(b.startswith('%13%') for b in binaries):
                store = True
            else:
                problems.append(f'{install}: does not copy to and run from DIRID 13')
    if not store:
        problems.append('no models section for 10.0...16299 or later that runs from the driver store (DIRID 13)')
    if not legacy:
        problems.append('no models section without a version for the versions before 1709')
    return problems


CHECKS = {
    'version-section': check_version_section,
    'catalog-name': check_catalog_name,
    'pnp-lockdown': check_pnp_lockdown,
    'decorated-models': check_decorated_models,
    'service': check_service,
    'security-string': check_security_string,
    'no-co-installers': check_no_co_installers,
    'driver-store': check_driver_store,
}


def broken_rules(path):
    inf = Inf(path)
    return {rule: problems for rule in RULES if (problems := CHECKS[rule](inf))}


def check(paths):
    failures = 0
    for path in paths:
        print(f'check-inf: {path}')
        broken = broken_rules(path)
        for rule in RULES:
            if rule in broken:
                failures += 1
                print(f'  FAIL  {rule}: {"; ".join(broken[rule])}')
            else:
                print(f'  ok    {rule}')
    return failures


def check_fixtures(folder):
    failures = 0
    # The fixtures are named as the package's INFs are not: the catalog rule compares with the
    # INF's own name, so each fixture names the catalog of its file name.
    good = os.path.join(folder, 'good.inf')
    broken = broken_rules(good)
    if broken:
        failures += 1
        print(f'  FAIL  good.inf breaks {", ".join(broken)}')
    else:
        print('  ok    good.inf passes every rule')
    for rule in RULES:
        path = os.path.join(folder, f'{rule}.inf')
        if not os.path.exists(path):
            failures += 1
            print(f'  FAIL  no fixture {rule}.inf')
            continue
        broken = broken_rules(path)
        if list(broken) == [rule]:
            print(f'  ok    {rule}.inf fails {rule} alone: {"; ".join(broken[rule])}')
        else:
            failures += 1
            print(f'  FAIL  {rule}.inf breaks [{", ".join(broken)}], not {rule} alone')
    return failures


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == '--fixtures':
        failures = check_fixtures(args[1])
    elif args and not args[0].startswith('-'):
        failures = check(args)
    else:
        sys.exit('usage: check-inf.py INF... | check-inf.py --fixtures DIR')
    if failures:
        print(f'check-inf: {failures} failure(s)')
        return 1
    print('check-inf: all rules hold')
    return 0


if __name__ == '__main__':
    sys.exit(main())
