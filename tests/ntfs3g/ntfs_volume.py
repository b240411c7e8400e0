#!/usr/bin/env python3
"""Helpers of the ntfs-3g apply test, on volumes mounted by ntfs-3g.

  ntfs_volume.py populate <mount>      builds the tree the test images are
                                       captured from, through ntfs-3g's
                                       extended attributes
  ntfs_volume.py big-stream <mount>    one file with a named stream larger
                                       than an extended attribute can hold
                                       (the mount must use
                                       streams_interface=windows)
  ntfs_volume.py compare <a> <b>       compares two volumes file by file;
                                       prints every difference, exits 1 if any
"""
import os
import struct
import sys

# Self-relative security descriptors, built from their fields.
ADMINS = (5, [32, 544])
SYSTEM = (5, [18])
USERS = (5, [32, 545])
EVERYONE = (1, [0])


def sid(authority_and_subs):
    authority, subs = authority_and_subs
    return (struct.pack('<BB', 1, len(subs)) + authority.to_bytes(6, 'big') +
            b''.join(struct.pack('<I', s) for s in subs))


def acl(aces):
    body = b''
    for kind, flags, mask, who in aces:
        s = sid(who)
        body += struct.pack('<BBHI', kind, flags, 8 + len(s), mask) + s
    return struct.pack('<BBHHH', 2, 0, 8 + len(body), len(aces), 0) + body


def descriptor(owner, group, aces, protected=False):
    control = 0x8000 | 0x0004 | (0x1000 if protected else 0)  # self-relative, DACL present
    o, g, d = sid(owner), sid(group), acl(aces)
    return (struct.pack('<BBHIIII', 1, 0, control, 20, 20 + len(o), 0, 20 + len(o) + len(g)) + o +
            g + d)


FULL, READ = 0x001F01FF, 0x001200A9
INHERIT = 0x03  # objects and containers inherit
DESCRIPTORS = {
    'admins': descriptor(ADMINS, SYSTEM, [(0, INHERIT, FULL, ADMINS), (0, INHERIT, READ, USERS)]),
    'system-only': descriptor(SYSTEM, SYSTEM, [(0, 0, FULL, SYSTEM)], protected=True),
    'deny': descriptor(ADMINS, ADMINS, [(1, 0, 0x2, EVERYONE), (0, 0, FULL, ADMINS)]),
    'empty-dacl': descriptor(ADMINS, SYSTEM, []),
}


def symlink_reparse(target, relative):
    name = target.encode('utf-16le')
    body = struct.pack('<HHHHI', 0, len(name), len(name), len(name), 1 if relative else 0)
    body += name + name
    return struct.pack('<IHH', 0xA000000C, len(body), 0) + body


def junction_reparse(target):
    sub = ('\\??\\' + target).encode('utf-16le') + b'\0\0'
    shown = target.encode('utf-16le') + b'\0\0'
    body = struct.pack('<HHHH', 0, len(sub) - 2, len(sub), len(shown) - 2) + sub + shown
    return struct.pack('<IHH', 0xA0000003, len(body), 0) + body


def setx(path, name, value):
    os.setxattr(path, name, value, follow_symlinks=False)


def write(path, data=b''):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def populate(root):
    p = lambda *parts: os.path.join(root, *parts)
    write(p('Windows', 'System32', 'kernel.dll'), os.urandom(200000))
    # What a boot loader needs of an applied Windows, as BOOTICE checks it.
    write(p('Windows', 'System32', 'ntoskrnl.exe'), b'MZ' + os.urandom(30000))
    write(p('Windows', 'System32', 'winload.exe'), b'MZ' + os.urandom(20000))
    write(p('Windows', 'System32', 'winload.efi'), b'MZ' + os.urandom(20000))
    # A hive's base block: "regf", and at 0x1FC the XOR of the dwords before it.
    write(p('Windows', 'System32', 'config', 'SYSTEM'),
          b'regf' + bytes(0x1F8) + b'regf' + bytes(70000 - 0x200))
    write(p('Windows', 'win.ini'), b'; for 16-bit app support\r\n')
    write(p('Windows', 'Boot', 'PCAT', 'bootmgr'), b'BOOTMGR' + bytes(4000))
    write(p('empty.txt'))
    write(p('hidden.txt'), b'hidden')
    write(p('system-hidden.sys'), b'system')
    write(p('readonly.txt'), b'read only')
    write(p('not-indexed.log'), b'x' * 5000)
    write(p('Program Files', 'Common Files', 'shared.dll'), b'shared' * 1000)
    write(p('long file name document.txt'), b'long')
    write(p('文档', '报告二零二四年度总结.txt'), '中文内容'.encode('utf-8'))
    deep = p(*['level%02d' % i for i in range(30)])
    write(os.path.join(deep, 'bottom.txt'), b'bottom')
    # Hard links: the name with the short name is not the first one created.
    write(p('links', 'component.dll'), b'linked data' * 300)
    os.link(p('links', 'component.dll'), p('links', 'another name of the component.dll'))
    os.makedirs(p('Windows', 'WinSxS'), exist_ok=True)
    os.link(p('links', 'component.dll'), p('Windows', 'WinSxS', 'component.dll'))
    # Named streams, an empty one and one on a folder among them.
    write(p('downloaded.exe'), b'MZ' + bytes(3000))
    setx(p('downloaded.exe'), 'user.Zone.Identifier', b'[ZoneTransfer]\r\nZoneId=3\r\n')
    setx(p('downloaded.exe'), 'user.empty', b'')
    setx(p('downloaded.exe'), 'user.数据流', os.urandom(60000))
    setx(p('Windows'), 'user.folder-stream', b'on a folder')
    # Reparse points: a junction, a folder symlink and a file symlink.
    os.makedirs(p('Users', 'Public'))
    write(p('Users', 'Public', 'desktop.ini'), b'[.ShellClassInfo]')
    os.mkdir(p('Documents and Settings'))
    setx(p('Documents and Settings'), 'system.ntfs_reparse_data', junction_reparse('C:\\Users'))
    os.mkdir(p('All Users'))
    setx(p('All Users'), 'system.ntfs_reparse_data',
         symlink_reparse('\\??\\C:\\ProgramData', False))
    write(p('Windows', 'link-to-win.ini'))
    setx(p('Windows', 'link-to-win.ini'), 'system.ntfs_reparse_data',
         symlink_reparse('win.ini', True))
    # Short names, before the attributes and times.
    setx(p('Program Files'), 'system.ntfs_dos_name', b'PROGRA~1')
    setx(p('long file name document.txt'), 'system.ntfs_dos_name', b'LONGFI~1.TXT')
    setx(p('文档', '报告二零二四年度总结.txt'), 'system.ntfs_dos_name', b'BAOGAO~1.TXT')
    # (A file with two names takes no short name: the one in the group was
    # set before the links above would allow it, so it is set in a copy.)
    write(p('links2', 'with a short name.dll'), b'second group' * 100)
    setx(p('links2', 'with a short name.dll'), 'system.ntfs_dos_name', b'WITHAS~1.DLL')
    os.link(p('links2', 'with a short name.dll'), p('links2', 'a.dll'))
    # Security descriptors.
    setx(p('Windows'), 'system.ntfs_acl', DESCRIPTORS['admins'])
    setx(p('Windows', 'System32', 'config', 'SYSTEM'), 'system.ntfs_acl',
         DESCRIPTORS['system-only'])
    setx(p('hidden.txt'), 'system.ntfs_acl', DESCRIPTORS['deny'])
    setx(p('empty.txt'), 'system.ntfs_acl', DESCRIPTORS['empty-dacl'])
    setx(p('Documents and Settings'), 'system.ntfs_acl', DESCRIPTORS['admins'])
    # Attributes.
    attributes = {
        'hidden.txt': 0x02, 'system-hidden.sys': 0x06, 'readonly.txt': 0x21,
        'not-indexed.log': 0x2000, 'Windows': 0x10, 'Documents and Settings': 0x16,
        'Program Files': 0x11, 'links/component.dll': 0x01,
    }
    for name, value in attributes.items():
        setx(p(name), 'system.ntfs_attrib', struct.pack('<I', value))
    # Times last, deepest first, each entry its own.
    stamp = 130000000000000000
    for top, dirs, files in sorted(os.walk(root), key=lambda w: -w[0].count('/')):
        for name in sorted(files) + sorted(dirs):
            stamp += 1234567891
            setx(os.path.join(top, name), 'system.ntfs_times',
                 struct.pack('<3Q', stamp, stamp + 7777777, stamp + 9999999))


def big_stream(root):
    path = os.path.join(root, 'big-stream.txt')
    write(path, b'main data')
    with open(path + ':big', 'wb') as f:
        f.write(os.urandom(70000))


def getx(path, name):
    try:
        return os.getxattr(path, name, follow_symlinks=False)
    except OSError as error:
        return 'error %d' % error.errno


def describe(root):
    """Every entry of a volume: path -> what must be equal, plus the hard-link groups."""
    entries, inodes = {}, {}
    for top, dirs, files in os.walk(root):
        for name in sorted(dirs + files) + (['.'] if top == root else []):
            path = os.path.normpath(os.path.join(top, name))
            rel = os.path.relpath(path, root)
            info = os.lstat(path)
            entry = {'mode': info.st_mode & 0o170000}
            for x in ('system.ntfs_acl', 'system.ntfs_attrib', 'system.ntfs_dos_name',
                      'system.ntfs_reparse_data'):
                entry[x] = getx(path, x)
            times = getx(path, 'system.ntfs_times')
            entry['creation, last write'] = times[:16] if isinstance(times, bytes) else times
            if not os.path.islink(path):
                entry['streams'] = {n: getx(path, n) for n in sorted(os.listxattr(path))
                                    if n.startswith('user.')}
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, 'rb') as f:
                    entry['data'] = f.read()
                inodes.setdefault(info.st_ino, []).append(rel)
            entries[rel] = entry
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(top, d))]
    groups = sorted(sorted(names) for names in inodes.values() if len(names) > 1)
    return entries, groups


def compare(a, b):
    (left, left_groups), (right, right_groups) = describe(a), describe(b)
    differences = []
    for rel in sorted(set(left) | set(right)):
        if rel not in left or rel not in right:
            differences.append('%s: only in %s' % (rel, a if rel in left else b))
            continue
        for key in left[rel]:
            if left[rel][key] != right[rel].get(key):
                shown = lambda v: v.hex() if isinstance(v, bytes) and len(v) < 80 else repr(v)[:80]
                differences.append('%s: %s differs: %s / %s' %
                                   (rel, key, shown(left[rel][key]), shown(right[rel].get(key))))
    if left_groups != right_groups:
        differences.append('hard links differ: %s / %s' % (left_groups, right_groups))
    # Equal errors are equal too: make sure every kind was really read.
    for key in ('system.ntfs_acl', 'system.ntfs_dos_name', 'system.ntfs_reparse_data'):
        if not any(isinstance(e[key], bytes) for e in left.values()):
            differences.append('no entry of %s has %s' % (a, key))
    if not any(e.get('streams') for e in left.values()) or not left_groups:
        differences.append('%s has no named streams or no hard links' % a)
    for line in differences:
        print(line)
    print('%d entries compared, %d hard-link groups, %d differences' %
          (len(left), len(left_groups), len(differences)))
    return 1 if differences or not left else 0


if __name__ == '__main__':
    command, *arguments = sys.argv[1:]
    if command == 'populate':
        populate(arguments[0])
    elif command == 'big-stream':
        big_stream(arguments[0])
    elif command == 'compare':
        sys.exit(compare(*arguments))
    else:
        sys.exit('unknown command ' + command)
