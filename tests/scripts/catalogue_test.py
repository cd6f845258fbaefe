#!/usr/bin/env python3
"""Checks the English catalogue against the code: every text marked for translation has an
English entry (translated, not fuzzy, not left in Chinese), no English entry is orphaned, and
no Chinese text in src/ is left unmarked unless ZH_ says it stays Chinese in every language.
Usage: catalogue_test.py SOURCE_DIR BUILD_DIR"""
import json
import os
import re
import subprocess
import sys
import tempfile

CJK = re.compile('[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]')


def unquote(line):
    body = line[line.index('"') + 1:line.rindex('"')]
    return bytes(body, 'utf-8').decode('unicode_escape').encode('latin-1').decode('utf-8')


def entries(path):
    """(msgid, msgstr, fuzzy, locations) of every entry but the header."""
    out, cur, field = [], None, None
    def flush():
        if cur and cur['msgid']:
            out.append(cur)
    with open(path, encoding='utf-8') as f:
        for raw in f:
            line = raw.rstrip('\n')
            if not line.strip():
                flush(); cur, field = None, None
                continue
            if cur is None:
                cur = {'msgid': '', 'msgstr': '', 'fuzzy': False, 'where': [], 'obsolete': False}
            if line.startswith('#~'):
                cur['obsolete'] = True
                line = line[2:].lstrip()
                if not line:
                    continue
            if line.startswith('#,'):
                cur['fuzzy'] = cur['fuzzy'] or 'fuzzy' in line
            elif line.startswith('#:'):
                cur['where'] += line[2:].split()
            elif line.startswith('#'):
                continue
            elif line.startswith('msgid '):
                field = 'msgid'; cur[field] = unquote(line)
            elif line.startswith('msgstr '):
                field = 'msgstr'; cur[field] = unquote(line)
            elif line.startswith('"') and field:
                cur[field] += unquote(line)
    flush()
    return out


def xgettext(sources, out, *options):
    subprocess.run(['xgettext', '--from-code=UTF-8', '--language=C++', '--sort-output',
                    '-o', out, *options, *sources], check=True, stderr=subprocess.DEVNULL)
    return entries(out) if os.path.exists(out) else []


def main():
    source_dir, build_dir = sys.argv[1], sys.argv[2]
    pot = entries(os.path.join(build_dir, 'po', 'sorvanta.pot'))
    english = [e for e in entries(os.path.join(source_dir, 'po', 'en.po')) if not e['obsolete']]
    marked = {e['msgid'] for e in pot}
    problems = []
    translated = {e['msgid']: e for e in english}
    for msgid in sorted(marked):
        e = translated.get(msgid)
        if e is None or not e['msgstr']:
            problems.append('no English entry: ' + json.dumps(msgid, ensure_ascii=False))
        elif e['fuzzy']:
            problems.append('English entry marked fuzzy (two differing translations?): ' + msgid)
        elif CJK.search(e['msgstr']):
            problems.append('English entry still has Chinese in it: ' + msgid + ' -> ' + e['msgstr'])
    for msgid in sorted(set(translated) - marked):
        problems.append('orphaned English entry (no text in the code): ' + msgid)

    sources = []
    for top, _, files in os.walk(os.path.join(source_dir, 'src')):
        sources += [os.path.join(top, f) for f in files if f.endswith(('.cpp', '.h'))]
    sources.sort()
    with tempfile.TemporaryDirectory() as tmp:
        every = xgettext(sources, os.path.join(tmp, 'all.pot'), '--extract-all')
        kept = {e['msgid'] for e in xgettext(sources, os.path.join(tmp, 'keep.pot'), '--keyword=', '--keyword=ZH_')}
    for e in every:
        if CJK.search(e['msgid']) and e['msgid'] not in marked and e['msgid'] not in kept:
            problems.append('Chinese text neither marked for translation nor ZH_: %s %s' %
                            (' '.join(w.replace(source_dir + '/', '') for w in e['where']), json.dumps(e['msgid'], ensure_ascii=False)))
    for p in problems:
        print(p)
    print('%d texts in the catalogue, %d problems' % (len(marked), len(problems)))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
