#!/usr/bin/python3
"""Turns ROS 2 .msg/.srv definitions into header-only C++ structs.

The structs carry rosidl's C++ names and header paths (pkg::msg::Name in
<pkg>/msg/<snake_name>.hpp, pkg::srv::Name with Request/Response), so code
written against the real generated headers compiles against these.

usage: generate_interfaces.py --package PKG --output-dir DIR [--list] FILE...
  --list  only print the headers that would be written, one per line
"""

import argparse
import os
import re
import sys

PRIMITIVES = {
    'bool': 'bool',
    'byte': 'unsigned char',
    'char': 'unsigned char',
    'float32': 'float',
    'float64': 'double',
    'int8': 'int8_t',
    'uint8': 'uint8_t',
    'int16': 'int16_t',
    'uint16': 'uint16_t',
    'int32': 'int32_t',
    'uint32': 'uint32_t',
    'int64': 'int64_t',
    'uint64': 'uint64_t',
    'string': 'std::string',
    'wstring': 'std::u16string',
}

FIELD_RE = re.compile(r'^([A-Za-z0-9_/]+(?:<=\d+)?)(\[(?:<=)?\d*\])?\s+([A-Za-z][A-Za-z0-9_]*)(?:\s+(.+))?$')
CONSTANT_RE = re.compile(r'^([A-Za-z0-9_]+)\s+([A-Z][A-Z0-9_]*)\s*=\s*(.+)$')


class DefinitionError(Exception):
    pass


def snake_case(name):
    """rosidl's file naming: TFMessage -> tf_message, PointCloud2 -> point_cloud2."""
    value = re.sub(r'(.)([A-Z][a-z]+)', r'\1_\2', name)
    value = re.sub(r'([a-z0-9])([A-Z])', r'\1_\2', value)
    return value.lower()


def strip_comment(line):
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in ('"', "'"):
            quote = ch
        elif ch == '#':
            return line[:i]
    return line


class Field:
    def __init__(self, base, array, name, default):
        self.base = base
        self.array = array  # None, '[]', '[N]' or '[<=N]'
        self.name = name
        self.default = default


class Constant:
    def __init__(self, base, name, value):
        self.base = base
        self.name = name
        self.value = value


class Section:
    """The fields and constants of one message (or one half of a service)."""

    def __init__(self):
        self.fields = []
        self.constants = []


def parse_section(lines, path, first_line):
    section = Section()
    for offset, raw in enumerate(lines):
        line = strip_comment(raw).strip()
        if not line:
            continue
        where = '%s:%d' % (path, first_line + offset)
        m = CONSTANT_RE.match(line)
        if m and m.group(1) in PRIMITIVES:
            section.constants.append(Constant(m.group(1), m.group(2), m.group(3).strip()))
            continue
        m = FIELD_RE.match(line)
        if not m:
            raise DefinitionError('%s: cannot parse "%s"' % (where, raw.rstrip()))
        base = re.sub(r'<=\d+$', '', m.group(1))  # bounded strings are plain strings here
        section.fields.append(Field(base, m.group(2), m.group(3), m.group(4)))
    return section


def cpp_type(field_base, package):
    """C++ type and the header it needs (None for primitives)."""
    if field_base in PRIMITIVES:
        return PRIMITIVES[field_base], None
    if '/' in field_base:
        pkg, name = field_base.split('/', 1)
        if name.startswith('msg/'):
            name = name[4:]
    else:
        pkg, name = package, field_base
    if not re.match(r'^[A-Z][A-Za-z0-9]*$', name):
        raise DefinitionError('unknown field type "%s"' % field_base)
    return '%s::msg::%s' % (pkg, name), '%s/msg/%s.hpp' % (pkg, snake_case(name))


def full_type(field, package):
    elem, _ = cpp_type(field.base, package)
    if field.array is None:
        return elem
    size = field.array[1:-1]
    if size and not size.startswith('<='):
        return 'std::array<%s, %s>' % (elem, size)
    return 'std::vector<%s>' % elem


def literal(base, value):
    value = value.strip()
    if base == 'bool':
        return 'true' if value.lower() in ('true', '1') else 'false'
    if base in ('string', 'wstring'):
        if len(value) >= 2 and value[0] == value[-1] and value[0] in ('"', "'"):
            value = value[1:-1]
        escaped = value.replace('\\', '\\\\').replace('"', '\\"')
        return ('u"%s"' if base == 'wstring' else '"%s"') % escaped
    if base in ('float32', 'float64'):
        text = value if any(c in value for c in '.eE') or 'inf' in value or 'nan' in value else value + '.0'
        return text + ('f' if base == 'float32' else '')
    if base.startswith('uint') or base in ('byte', 'char'):
        return value + 'u'
    if base == 'int64':
        return value + 'll'
    return value


def initializer(field, package):
    if field.default is not None:
        if field.array is not None:
            items = field.default.strip().strip('[]').split(',')
            items = [literal(field.base, v) for v in items if v.strip()]
            return '{%s}' % ', '.join(items)
        return '{%s}' % literal(field.base, field.default)
    fixed_array = field.array is not None and field.array not in ('[]',) and not field.array.startswith('[<')
    number = field.base in PRIMITIVES and field.base not in ('string', 'wstring')
    # Numbers and fixed arrays start zeroed, as rosidl's MessageInitialization::ALL does.
    return '{}' if (field.array is None and number) or fixed_array else ''


def struct_code(struct, section, package, ns):
    out = []
    out.append('template<class ContainerAllocator>')
    out.append('struct %s_' % struct)
    out.append('{')
    out.append('  using Type = %s_<ContainerAllocator>;' % struct)
    out.append('')
    out.append('  explicit %s_(rosidl_runtime_cpp::MessageInitialization = '
               'rosidl_runtime_cpp::MessageInitialization::ALL) {}' % struct)
    out.append('  explicit %s_(const ContainerAllocator &, rosidl_runtime_cpp::MessageInitialization = '
               'rosidl_runtime_cpp::MessageInitialization::ALL) {}' % struct)
    out.append('')
    for f in section.fields:
        t = full_type(f, package)
        out.append('  using _%s_type = %s;' % (f.name, t))
        out.append('  _%s_type %s%s;' % (f.name, f.name, initializer(f, package)))
    if section.constants:
        out.append('')
    for c in section.constants:
        if c.base in ('string', 'wstring'):
            ctype = 'const char16_t *' if c.base == 'wstring' else 'const char *'
            out.append('  static constexpr %s %s = %s;' % (ctype, c.name, literal(c.base, c.value)))
        else:
            out.append('  static constexpr %s %s = %s;' % (PRIMITIVES[c.base], c.name, literal(c.base, c.value)))
    out.append('')
    out.append('  using RawPtr = %s_<ContainerAllocator> *;' % struct)
    out.append('  using ConstRawPtr = const %s_<ContainerAllocator> *;' % struct)
    out.append('  using SharedPtr = std::shared_ptr<%s_<ContainerAllocator>>;' % struct)
    out.append('  using ConstSharedPtr = std::shared_ptr<%s_<ContainerAllocator> const>;' % struct)
    out.append('  template<typename Deleter = std::default_delete<%s_<ContainerAllocator>>>' % struct)
    out.append('  using UniquePtrWithDeleter = std::unique_ptr<%s_<ContainerAllocator>, Deleter>;' % struct)
    out.append('  using UniquePtr = UniquePtrWithDeleter<>;')
    out.append('  template<typename Deleter = std::default_delete<%s_<ContainerAllocator>>>' % struct)
    out.append('  using ConstUniquePtrWithDeleter = std::unique_ptr<%s_<ContainerAllocator> const, Deleter>;' % struct)
    out.append('  using ConstUniquePtr = ConstUniquePtrWithDeleter<>;')
    out.append('  using WeakPtr = std::weak_ptr<%s_<ContainerAllocator>>;' % struct)
    out.append('  using ConstWeakPtr = std::weak_ptr<%s_<ContainerAllocator> const>;' % struct)
    out.append('')
    out.append('  bool operator==(const %s_ & other) const' % struct)
    out.append('  {')
    if not section.fields:
        out.append('    (void)other;')
    for f in section.fields:
        out.append('    if (this->%s != other.%s) {' % (f.name, f.name))
        out.append('      return false;')
        out.append('    }')
    out.append('    return true;')
    out.append('  }')
    out.append('  bool operator!=(const %s_ & other) const {return !this->operator==(other);}' % struct)
    out.append('};')
    out.append('')
    out.append('using %s = %s_<std::allocator<void>>;' % (struct, struct))
    out.append('')
    return out


def includes_for(sections, package, own_header):
    headers = set()
    for section in sections:
        for f in section.fields:
            _, header = cpp_type(f.base, package)
            if header and header != own_header:
                headers.add(header)
    return sorted(headers)


def header_code(package, kind, name, sections, source):
    guard = '%s__%s__%s_HPP_' % (package.upper(), kind.upper(), snake_case(name).upper())
    own = '%s/%s/%s.hpp' % (package, kind, snake_case(name))
    out = ['// generated from %s by ros2_standin/scripts/generate_interfaces.py; do not edit' % source,
           '#ifndef ' + guard, '#define ' + guard, '',
           '#include <array>', '#include <cstdint>', '#include <memory>', '#include <string>',
           '#include <vector>', '', '#include "rosidl_runtime_cpp/message_initialization.hpp"']
    for h in includes_for([s for _, s in sections], package, own):
        out.append('#include "%s"' % h)
    out += ['', 'namespace %s' % package, '{', 'namespace %s' % kind, '{', '']
    for struct, section in sections:
        out += struct_code(struct, section, package, kind)
    if kind == 'srv':
        out += ['struct %s' % name, '{',
                '  using Request = %s_Request;' % name,
                '  using Response = %s_Response;' % name,
                '};', '']
    out += ['}  // namespace %s' % kind, '}  // namespace %s' % package, '', '#endif  // ' + guard, '']
    return '\n'.join(out)


def read_definition(path):
    with open(path, encoding='utf-8') as f:
        return f.read().split('\n')


def generate(package, path, output_dir, list_only):
    base = os.path.basename(path)
    name, ext = os.path.splitext(base)
    if ext not in ('.msg', '.srv') or not re.match(r'^[A-Z][A-Za-z0-9]*$', name):
        raise DefinitionError('%s: expected an UpperCamelCase .msg or .srv file' % path)
    kind = ext[1:]
    target = os.path.join(output_dir, package, kind, snake_case(name) + '.hpp')
    if list_only:
        return target
    lines = read_definition(path)
    source = '%s/%s/%s' % (package, kind, base)
    if kind == 'msg':
        sections = [(name, parse_section(lines, path, 1))]
    else:
        split = [i for i, l in enumerate(lines) if l.strip() == '---']
        if len(split) != 1:
            raise DefinitionError('%s: a service needs exactly one "---" line, found %d' % (path, len(split)))
        i = split[0]
        sections = [(name + '_Request', parse_section(lines[:i], path, 1)),
                    (name + '_Response', parse_section(lines[i + 1:], path, i + 2))]
    code = header_code(package, kind, name, sections, source)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    # Leave an unchanged header alone so that dependants are not rebuilt.
    if os.path.exists(target):
        with open(target, encoding='utf-8') as f:
            if f.read() == code:
                return target
    with open(target, 'w', encoding='utf-8') as f:
        f.write(code)
    return target


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--package', required=True)
    parser.add_argument('--output-dir', required=True)
    parser.add_argument('--list', action='store_true')
    parser.add_argument('files', nargs='+')
    args = parser.parse_args(argv)
    try:
        for path in args.files:
            target = generate(args.package, path, args.output_dir, args.list)
            if args.list:
                print(target)
    except (DefinitionError, OSError) as e:
        print('generate_interfaces.py: error: %s' % e, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
