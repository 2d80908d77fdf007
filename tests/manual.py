#!/usr/bin/env python3
"""The manual's examples, run and checked by their own words (README.md, "The manual is run").
usage: manual.py CONVERT WINDOW DATA"""
import os, re, subprocess as sp, sys, tempfile, time

tool, window, data = sys.argv[1:4]
env = dict({k: v for k, v in os.environ.items() if 'DISPLAY' not in k}, QT_QPA_PLATFORM='offscreen',
           PATH=os.path.dirname(tool) + ':' + os.path.dirname(window) + ':' + os.environ['PATH'])
rd = lambda p: open(p, 'rb').read()
convert = lambda b: sp.run([tool, '-', '-'], input=b, stdout=-1).stdout
assert convert(rd(data + '/old-setup.hex')) == rd(data + '/new-setup.hex')
old, refs, made, fails, block = rd(data + '/old-setup.hex').decode().split(), set(), set(), [], 0
scratch = tempfile.TemporaryDirectory()

snap = lambda: {p[2:]: rd(p) for p in (r + '/' + f for r, _, fs in os.walk('.') for f in fs)}

def run(doc, n, cmd, text, d):
    words = [w.strip('<>') for w in cmd.split() if w.endswith('.hex')]
    outs = [w for w in words if w.startswith(('new', 'converted/'))]
    abc = iter('ABCDEFGH')
    os.chdir(d)
    for w in [w for w in words if w not in outs]:
        for c in (next(abc), next(abc)) if '*' in w or '?' in w else '-':
            f, r = re.sub('[*?]', c, w), ''
            for b in (bytearray.fromhex(line[1:]) for line in old):
                b[4] = b[4] + len(refs) * (b[1:4] == b'\1\0\0') & 255
                b[-1] = -sum(b[:-1]) & 255
                r += ':' + b.hex().upper() + '\n'
            r = r.encode()
            os.makedirs(os.path.dirname(f) or '.', exist_ok=True)
            open(f, 'wb').write(r)
            made.add(r)
            refs.add(convert(r))
    print(f'{doc}:{n}: {cmd}:', end=' ', flush=True)
    before, why = snap(), []
    want = int((re.findall(r'exit status (\d)', text) or ['refused' in text])[0])
    p = sp.Popen(['/bin/sh', '-c', 'exec ' + cmd], env=env, stdout=-1, stderr=-1, text=True)
    if cmd.startswith('tarvik-setup-converter') and not re.search('[Pp]rint|exit status', text):
        time.sleep(2)
        why += [f'ended: {p.poll()}'] * (p.poll() is not None)
        p.kill()
    else:
        out, err = p.communicate(timeout=60)
        q = ''.join(re.sub(r'(?<!\w)\\\.\\\.\\\.', '.+', re.escape(s)) + '\n'
                    for s in re.findall('"(.*?)"', text))
        why += [f'exit status {p.returncode}, not {want}'] * (p.returncode != want)
        q += r'\Z' * (want or not q)
        why += [f'printed, not {q!r}:\n' + out + err] * (not re.match(q, out + err)
                                                        or want == 0 < len(err))
    after = snap()
    why += [f + ' is not written' for f in outs + re.findall(r'(?:to|as)\s(\S+\.hex[\w.~]*)', text)
            if f not in after]
    why += ['files changed'] * (after != before and (want or 'nothing' in text))
    why += [f + ' is no conversion' for f, b in after.items()
            if before.get(f) != b and b not in refs | set(before.values())]
    why += [f + ' is lost' for f, b in before.items() if b in made and after.get(f) != b]
    fails.extend(why)
    print('FAIL' if why else 'ok', *('\n    ' + w for w in why))

for n, line in enumerate(open(data + '/../../README.md'), 1):
    if line.startswith('```'):
        block = line == '```sh\n' and tempfile.mkdtemp(dir=scratch.name)
    elif block and re.match('tarvik-|mkdir ', line):
        cmd, _, text = line.partition('  #')
        run('README.md', n, cmd.strip(), text, block)
roff = lambda s: re.sub(r'(?m)\\f.|\\&|^\.[A-Z]+ ?', '',
                        re.sub(r'\\\(.q', '"', s)).replace('\\-', '-')
for doc in 'dist/tarvik-convert.1.in', 'dist/tarvik-setup-converter.1.in':
    t, block = open(data + '/../../' + doc).read(), tempfile.mkdtemp(dir=scratch.name)
    i = t.index('.SH EXAMPLES')
    for m in re.finditer(r'(.*?)\n\.EX\n(.*?)\n\.EE\n', t[i:], re.S):
        n, cmds = t.count('\n', 0, i + m.start(2)), roff(m[2]).split('\n')
        for j, c in enumerate(cmds, 1):
            run(doc, n + j, c, roff(m[1]) * (j == len(cmds)), block)
sys.exit(bool(fails))
