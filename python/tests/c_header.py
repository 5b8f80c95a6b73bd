# Reads the declarations of a C header of ours (msdscclient.h, msdsc_host.h) and holds the package's
# ctypes tables against them: functions, structures, enumerations and #define'd sizes. The headers
# use one declaration style, which is all this parses.
import ctypes
import re

SCALARS = {
    "int": ctypes.c_int, "char": ctypes.c_char, "int32_t": ctypes.c_int32, "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16, "uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64,
}


class Header:
    def __init__(self, text):
        self.defines = {name: int(value) for name, value in re.findall(r"^#define\s+(\w+)\s+(\d+)\s*$", text, re.M)}
        code = re.sub(r"/\*.*?\*/|//[^\n]*", " ", text, flags=re.S)
        code = re.sub(r"^\s*#.*$", " ", code, flags=re.M)
        self.typedefs = dict((alias, base) for base, alias in re.findall(r"typedef\s+(\w+)\s+(\w+)\s*;", code))
        self.enums = {}
        for body, name in re.findall(r"typedef\s+enum\s+\w*\s*\{(.*?)\}\s*(\w+)\s*;", code, re.S):
            self.enums[name] = {member: int(value) for member, value in re.findall(r"(\w+)\s*=\s*(\d+)", body)}
        self.structs = {}
        for body, name in re.findall(r"typedef\s+struct\s+\w*\s*\{(.*?)\}\s*(\w+)\s*;", code, re.S):
            self.structs[name] = [self._declaration(field) for field in body.split(";") if field.strip()]
        # Opaque: declared, never defined.
        for name in re.findall(r"typedef\s+struct\s+\w+\s+(\w+)\s*;", code):
            self.structs.setdefault(name, None)
        self.functions = {}
        for returns, name, parameters in re.findall(
                r"\w+_API\s+([\w\s\*]+?)\s*(?:MSDSC_CALL\s+)?(\w+)\s*\(([^)]*)\)\s*;", code):
            parameters = parameters.strip()
            self.functions[name] = (self._type(returns), [] if parameters in ("", "void") else
                                    [self._declaration(parameter) for parameter in parameters.split(",")])

    @staticmethod
    def _split(declaration):
        """'const uint16_t components[4]' -> ('uint16_t', pointers 0, name 'components', length 4)."""
        match = re.fullmatch(r"\s*(?:const\s+)?(\w+)\s*((?:\*\s*(?:const\s*)?)*)\s*(\w+)?\s*(?:\[(\w+)\])?\s*",
                             declaration)
        if not match:
            raise ValueError(f"cannot read the declaration '{declaration.strip()}'")
        base, stars, name, length = match.groups()
        return base, stars.count("*"), name, length

    def _type(self, text):
        base, pointers, _, _ = self._split(text + " x")
        return base, pointers

    def _declaration(self, text):
        base, pointers, name, length = self._split(text)
        return name, (base, pointers, self.defines.get(length, int(length) if length and length.isdigit() else None))

    def ctype(self, base, pointers, length, namespace, parameter):
        """The ctypes type a declaration must have: an array parameter is a pointer, an array field
        an array; char* is c_char_p; enumerations are int."""
        while base in self.typedefs:
            base = self.typedefs[base]
        if base == "void" and pointers == 0:
            return None
        if base in self.enums:
            element = ctypes.c_int
        elif base in self.structs:
            element = getattr(namespace, base)
        elif base == "void":
            element, pointers = ctypes.c_void_p, pointers - 1
        else:
            element = SCALARS[base]
        if length is not None and parameter:
            pointers, length = pointers + 1, None
        if element is ctypes.c_char and pointers:
            element, pointers = ctypes.c_char_p, pointers - 1
        for _ in range(pointers):
            element = ctypes.POINTER(element)
        return element * length if length is not None else element


def same_type(a, b):
    """ctypes array types are made anew for each use: compare them by element and length."""
    if isinstance(a, type) and issubclass(a, ctypes.Array) and isinstance(b, type) and issubclass(b, ctypes.Array):
        return a._length_ == b._length_ and same_type(a._type_, b._type_)
    return a is b


def name_of(ctype):
    return "void" if ctype is None else getattr(ctype, "__name__", repr(ctype))


def mismatches(header, functions, namespace):
    """What differs between the header and the package's tables: empty when they agree."""
    found = []
    for name in sorted(set(header.functions) ^ set(functions)):
        where = "the header" if name in header.functions else "the package"
        found.append(f"{name}: declared only in {where}")
    for name in sorted(set(header.functions) & set(functions)):
        (returns, parameters), (restype, argtypes) = header.functions[name], functions[name]
        expected = header.ctype(*returns, None, namespace, parameter=False)
        if not same_type(expected, restype):
            found.append(f"{name}: returns {name_of(expected)} in the header, {name_of(restype)} in the package")
        if len(parameters) != len(argtypes):
            found.append(f"{name}: {len(parameters)} arguments in the header, {len(argtypes)} in the package")
            continue
        for (parameter, declared), actual in zip(parameters, argtypes):
            expected = header.ctype(*declared, namespace, parameter=True)
            if not same_type(expected, actual):
                found.append(f"{name}({parameter}): {name_of(expected)} in the header, {name_of(actual)} in the package")
    for struct, fields in header.structs.items():
        cls = getattr(namespace, struct, None)
        if cls is None:
            found.append(f"struct {struct}: missing in the package")
            continue
        if fields is None:
            continue
        declared = [(field, header.ctype(*declaration, namespace, parameter=False)) for field, declaration in fields]
        actual = list(getattr(cls, "_fields_", []))
        if [field for field, _ in declared] != [field for field, _ in actual]:
            found.append(f"struct {struct}: fields {[f for f, _ in declared]} in the header, "
                         f"{[f for f, _ in actual]} in the package")
            continue
        for (field, expected), (_, ctype) in zip(declared, actual):
            if not same_type(expected, ctype):
                found.append(f"struct {struct}.{field}: {name_of(expected)} in the header, {name_of(ctype)} in the package")
    for enum, members in header.enums.items():
        for member, value in members.items():
            if getattr(namespace, member, None) != value:
                found.append(f"enum {enum}: {member} is {value} in the header, {getattr(namespace, member, None)} "
                             "in the package")
    for define, value in header.defines.items():
        if hasattr(namespace, define) and getattr(namespace, define) != value:
            found.append(f"#define {define}: {value} in the header, {getattr(namespace, define)} in the package")
    return found
