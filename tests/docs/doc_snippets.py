#!/usr/bin/env python3
"""Tests the code blocks of a Markdown page the way a reader would use them.

How each kind of block is taken, and the comment lines before a fence that
change it (partial, run, file), are described for the pages' authors in
docs/building.md, under "The pages' code". In short: Java against the build's
jar, C and C++ and CMake against the installed tree, POMs with Maven offline,
shell blocks parsed and checked (or run when marked so); /opt/varnok stands
for the installed tree. Every block of a page runs in one work directory,
which is also HOME (so Maven's settings and local repository are the test's),
and in which `build` is the build tree. Prints one line per block and the
counts; a skipped block prints "skipped: " and why, which the suite's skip
report collects.
"""
import argparse
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

FENCE = re.compile(r'^(\s*)(`{3,}|~{3,})\s*([\w+-]*)\s*$')
MARKER = re.compile(r'^<!--\s*snippet:\s*(partial|run|file)\b[,\s]*(.*?)\s*-->\s*$')
DOCS_PREFIX = '/opt/varnok'
OUTPUT_OPTIONS = {'-o', '--csv', '--png'}  # what follows is written, not read


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


class Snippet:
    def __init__(self, line, lang, text, marker, argument):
        self.line, self.lang, self.text = line, lang, text
        self.marker, self.argument = marker, argument


def snippets(path):
    """The fenced blocks of a page, with the marker line before each."""
    lines = open(path, encoding='utf-8').read().split('\n')
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, lang = m.groups()
        marker = MARKER.match(lines[i - 1].strip()) if i else None
        body, start = [], i + 1
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(fence):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        if i == len(lines):
            raise Failed(f'{path}:{start}: the fence opened here is never closed')
        yield Snippet(start, lang, '\n'.join(body) + '\n',
                      marker and marker.group(1), marker and marker.group(2))
        i += 1


class Page:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.count = 0
        self.prefix = read_prefix(args.dir_file)
        self.env = dict(os.environ, HOME=work, JAVA_HOME=args.jdk,
                        MAVEN_OPTS=f'-Duser.home={work} -Daether.offline.protocols=file',
                        PATH=f'{args.jdk}/bin:' + os.environ['PATH'])
        for name in ('LD_LIBRARY_PATH', 'MAVEN_ARGS', 'JAVA_TOOL_OPTIONS', 'PKG_CONFIG_PATH'):
            self.env.pop(name, None)
        self.targets = self.known = self.cmake_text = None
        self.files = []  # the blocks saved by name, for later ones
        os.symlink(args.build_dir, os.path.join(work, 'build'))
        m2 = os.path.join(work, '.m2')
        os.makedirs(m2)
        with open(os.path.join(args.source_dir, 'tests/install/maven_consumer/settings.xml.in')) as f:
            settings = f.read().replace('@PLUGIN_REPO@', args.plugin_repo)
        with open(os.path.join(m2, 'settings.xml'), 'w') as f:
            f.write(settings)

    def dir(self, lang):
        """A fresh directory for one block."""
        self.count += 1
        d = os.path.join(self.work, f'{self.count:02d}-{lang}')
        os.makedirs(d)
        return d

    def run(self, cmd, cwd, timeout=240, **kw):
        try:
            p = subprocess.run(cmd, cwd=cwd, env=self.env, timeout=timeout, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
        except subprocess.TimeoutExpired:
            raise Failed(f'timed out after {timeout} s: {shlex.join(cmd)}')
        if p.returncode != 0:
            raise Failed(f'failed ({p.returncode}): {shlex.join(cmd)}\n{p.stdout[-4000:]}')
        return p.stdout

    def installed(self, text):
        return text.replace(DOCS_PREFIX, self.prefix)

    def saved(self, name):
        path = os.path.join(self.work, name)
        if not os.path.exists(path):
            raise Failed(f'needs {name}: save a block before it with <!-- snippet: file {name} -->')
        return path


def read_prefix(dir_file):
    """The installed tree of the install.tree fixture."""
    if not os.path.exists(dir_file):
        sys.exit(f'no installed tree: {dir_file} is missing (install.tree failed?)')
    with open(dir_file) as f:
        return os.path.join(f.read().strip(), 'prefix')


def write(path, text):
    with open(path, 'w') as f:
        f.write(text)
    return path


def split_fragment(text, head):
    """Lines matching HEAD (imports, preprocessor lines) and the rest."""
    lines = text.split('\n')
    return ('\n'.join(l for l in lines if re.match(head, l)),
            '\n'.join('    ' + l for l in lines if not re.match(head, l)))


def test_java(page, s):
    d = page.dir('java')
    text = page.installed(s.text)
    declared = re.search(r'^(?:public\s+|final\s+|abstract\s+)*(?:class|interface|enum|record)\s+(\w+)',
                         text, re.M)
    if declared:
        name = declared.group(1)
    else:
        name = 'Snippet'
        imports, body = split_fragment(text, r'\s*(import|package)\s')
        text = (f'{imports}\n\npublic class Snippet {{\n'
                f'  public static void main(String[] args) throws Exception {{\n{body}\n  }}\n}}\n')
    package = re.search(r'^package\s+([\w.]+)\s*;', text, re.M)
    qualified = f'{package.group(1)}.{name}' if package else name
    source = write(os.path.join(d, name + '.java'), text)
    page.run(['javac', '-Xlint:all', '-d', 'classes', '-cp', ':'.join(page.args.classpath), source], d)
    classpath = ':'.join(page.args.classpath + [os.path.join(d, 'classes')])
    if not re.search(r'static\s+void\s+main\s*\(', text):
        return 'compiled (no main to run)'
    # On every JDK given: the binding differs from JDK 22 on.
    ran = []
    for jdk in [page.args.jdk] + ([page.args.newer_jdk] if page.args.newer_jdk else []):
        out = page.run([os.path.join(jdk, 'bin/java'), '--enable-native-access=ALL-UNNAMED',
                        f'-Djava.io.tmpdir={d}', '-cp', classpath, qualified], d, timeout=60)
        ran.append(f'on {os.path.basename(jdk)}' + (f', printing: {out.strip()[:200]}' if out.strip() else ''))
    return 'compiled and ran ' + '; '.join(ran)


def native_source(text):
    if re.search(r'\bmain\s*\(', text):
        return text
    head, body = split_fragment(text, r'\s*#')
    return f'{head}\n\nint main(void) {{\n{body}\n    return 0;\n}}\n'


def test_native(page, s, c):
    d = page.dir('c' if c else 'cpp')
    text = native_source(page.installed(s.text))
    source = write(os.path.join(d, 'snippet.c' if c else 'snippet.cc'), text)
    lib = os.path.join(page.prefix, page.args.libdir)
    page.run([page.args.cc if c else page.args.cxx, '-Wall', '-Wextra', '-o', 'snippet', source,
              '-I', os.path.join(page.prefix, 'include'), '-L', lib, '-lvarnok_jni',
              f'-Wl,-rpath,{lib}'], d)
    page.run(['./snippet'], d, timeout=60)
    return 'compiled against the installed tree and ran'


def test_cmake(page, s):
    d = page.dir('cmake')
    text = page.installed(s.text)
    head = '' if re.search(r'^\s*project\s*\(', text, re.M) else \
        'cmake_minimum_required(VERSION 3.16)\nproject(snippet LANGUAGES C CXX)\n'
    programs = re.findall(r'add_executable\s*\(\s*([\w-]+)', text)
    for target in re.findall(r'target_link_libraries\s*\(\s*([\w-]+)', text):
        if target not in programs and not re.search(rf'add_library\s*\(\s*{re.escape(target)}\b', text):
            page.saved(target + '.cc')
            head += f'add_executable({target} {target}.cc)\n'
            programs.append(target)
    for name in page.files:
        shutil.copy(os.path.join(page.work, name), d)
    write(os.path.join(d, 'CMakeLists.txt'), head + text)
    page.run(['cmake', '-S', d, '-B', os.path.join(d, 'build'), '-G', page.args.generator,
              f'-DCMAKE_PREFIX_PATH={page.prefix}', f'-DCMAKE_CXX_COMPILER={page.args.cxx}',
              f'-DCMAKE_C_COMPILER={page.args.cc}', '-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF'], d)
    page.run(['cmake', '--build', os.path.join(d, 'build')], d)
    for program in programs:
        page.run([os.path.join(d, 'build', program)], d, timeout=60)
    return 'configured and built against the installed tree' + \
        (f', and ran {", ".join(programs)}' if programs else '')


def vornix_names(text):
    return set(re.findall(r'\bcom\.vornix(?:\.\w+)+', text))


def check_names(page, text):
    """Every com.vornix name must be a class, package or string of the sources."""
    if page.known is None:
        known = set()
        for root, dirs, files in os.walk(page.args.source_dir):
            dirs[:] = [x for x in dirs if not x.startswith(('.', 'build')) and x != 'docs']
            for f in files:
                if f in ('README.md', 'CHANGELOG.md'):
                    continue
                path = os.path.join(root, f)
                rel = os.path.relpath(path, page.args.source_dir)
                m = re.search(r'(com/vornix/\S*)\.(java|kt)$', rel)
                if m:
                    known.add(m.group(1).replace('/', '.'))
                try:
                    known |= vornix_names(open(path, encoding='utf-8').read())
                except UnicodeDecodeError:
                    pass
        page.known = known
    names = vornix_names(text)
    unknown = sorted(n for n in names if n not in page.known)
    if unknown:
        raise Failed('names nothing in the sources: ' + ', '.join(unknown))
    return f'names known ({", ".join(sorted(names))})' if names else 'no com.vornix names'


def check_coordinates(page, text):
    """Every com.vornix:ARTIFACT:VERSION must be in the installed repository."""
    found = re.findall(r'com\.vornix:([\w.-]+):([\w.-]+)', text)
    for artifact, version in found:
        entry = os.path.join(page.prefix, page.args.datadir, 'maven-repo/com/vornix', artifact, version)
        if not os.path.isdir(entry):
            raise Failed(f'com.vornix:{artifact}:{version} is not installed (no {entry})')
    return found


def test_xml(page, s):
    text = page.installed(s.text)
    bare = re.sub(r'^\s*<\?xml[^>]*\?>', '', text)
    try:
        ET.fromstring(f'<snippet>{bare}</snippet>')
    except ET.ParseError as e:
        raise Failed(f'not well-formed XML: {e}')
    if not re.search(r'<(project|dependency)\b', bare):
        return 'well-formed; ' + check_names(page, text)
    if not page.args.mvn:
        raise Skipped('mvn was not found when the build was configured')
    d = page.dir('maven')
    if '<project' not in bare:
        if '<dependencies>' not in bare:
            bare = f'<dependencies>\n{bare}</dependencies>\n'
        if '<repositories>' not in bare:  # the installed repository, as the page names it
            bare = (f'<repositories><repository><id>varnok</id>'
                    f'<url>file://{page.prefix}/{page.args.datadir}/maven-repo</url>'
                    f'</repository></repositories>\n{bare}')
        bare = ('<project xmlns="http://maven.apache.org/POM/4.0.0">\n<modelVersion>4.0.0</modelVersion>\n'
                '<groupId>example</groupId><artifactId>snippet</artifactId><version>1</version>\n'
                '<properties><maven.compiler.release>8</maven.compiler.release>'
                '<project.build.sourceEncoding>UTF-8</project.build.sourceEncoding></properties>\n'
                f'{bare}</project>\n')
    write(os.path.join(d, 'pom.xml'), bare)
    shutil.copytree(os.path.join(page.args.source_dir, 'tests/install/maven_consumer/src'),
                    os.path.join(d, 'src'))
    page.run([page.args.mvn, '-B', '-o', '-q', '-Daether.offline.protocols=file', 'package'], d, timeout=300)
    return 'built with Maven offline against the installed repository'


def test_properties(page, s):
    for n, line in enumerate(s.text.split('\n')):
        line = line.strip()
        if line and not line.startswith(('#', '!')) and not re.match(r'[^=:\s]+\s*[=:\s]', line + ' '):
            raise Failed(f'line {n + 1} is no property: {line}')
    return 'parsed; ' + check_names(page, s.text)


def test_gradle(page, s):
    found = check_coordinates(page, s.text)
    checked = ', '.join(f'com.vornix:{a}:{v}' for a, v in found) or 'none'
    raise Skipped(f'Gradle is not installed on the build machines (installed coordinates checked: {checked})')


def build_targets(page):
    if page.targets is None:
        out = page.run(['cmake', '--build', page.args.build_dir, '--target', 'help'], page.work)
        page.targets = set(re.findall(r'^\.\.\. (\S+)', out, re.M))
    return page.targets


def shell_path(page, word):
    """Where a word that names a file of the trees points, or None."""
    head = word.split('/')[0]
    if word.startswith('/'):
        return word if word.startswith(page.prefix) else None
    if head == 'build' and '/' in word:
        return os.path.join(page.args.build_dir, word[len('build/'):])
    if '/' in word and not head.startswith('build') and \
            os.path.exists(os.path.join(page.args.source_dir, head)):
        return os.path.join(page.args.source_dir, word)
    return None


def test_shell(page, s):
    text = page.installed(s.text)
    page.run(['bash', '-n', '-c', text], page.work)
    if s.marker == 'run':
        page.run(['bash', '-euo', 'pipefail', '-c', text], page.work)
        return 'ran'
    lines = [shlex.split(line, comments=True) for line in text.replace('\\\n', ' ').split('\n')]
    words = [w for line in lines for w in line + [';']]  # a line ends a command
    presets = json.load(open(os.path.join(page.args.source_dir, 'CMakePresets.json')))
    preset_names = {p['name'] for kind in presets.values() if isinstance(kind, list) for p in kind}
    if page.cmake_text is None:
        page.cmake_text = cmake_sources(page.args.source_dir, page.args.build_dir)
    checked = []
    for i, word in enumerate(words):
        before = words[i - 1] if i else ''
        if before == '--preset':
            if word not in preset_names:
                raise Failed(f'no preset {word} in CMakePresets.json')
            checked.append(f'preset {word}')
        m = re.match(r'-D(VARNOK_\w+)=', word)
        if m:
            if not re.search(rf'\b{m.group(1)}\b', page.cmake_text):
                raise Failed(f'no CMake option {m.group(1)}')
            checked.append(f'option {m.group(1)}')
        for candidate in (word, word.split('=', 1)[-1]):
            path = shell_path(page, candidate)
            if path is None:
                continue
            if before in OUTPUT_OPTIONS:
                path = os.path.dirname(path)
            if not glob.glob(path):
                raise Failed(f'{candidate.replace(page.prefix, DOCS_PREFIX)} does not exist')
            checked.append(candidate.replace(page.prefix, DOCS_PREFIX))
            break
    # --target takes one or more names, up to the next option or operator.
    for i, word in enumerate(words):
        if word == '--target':
            for name in words[i + 1:]:
                if name.startswith('-') or name in ('&&', '||', ';', '|', '&'):
                    break
                if name not in build_targets(page):
                    raise Failed(f'no build target {name}')
                checked.append(f'target {name}')
    return 'parses' + (f'; exist: {", ".join(dict.fromkeys(checked))}' if checked else '')


def test(page, s):
    lang = s.lang.lower()
    if s.marker == 'partial':
        raise Skipped(f'partial: {s.argument or "(no reason given)"}')
    if s.marker == 'run' and lang not in ('sh', 'shell', 'bash'):
        raise Failed('only a shell block can be marked run')
    if s.marker == 'file':
        text = page.installed(s.text)
        write(os.path.join(page.work, s.argument), native_source(text) if lang in ('cpp', 'c++', 'c') else text)
        page.files.append(s.argument)
    if lang == 'java':
        return test_java(page, s)
    if lang in ('cpp', 'c++', 'c'):
        return test_native(page, s, lang == 'c')
    if lang == 'cmake':
        return test_cmake(page, s)
    if lang == 'xml':
        return test_xml(page, s)
    if lang in ('sh', 'shell', 'bash'):
        return test_shell(page, s)
    if lang == 'properties':
        return test_properties(page, s)
    if lang in ('groovy', 'kotlin'):
        return test_gradle(page, s)
    raise Failed(f'untested language "{lang}": tag code as java, cpp, c, cmake, xml, sh, '
                 'properties, groovy or kotlin, and output as text')


def heading_anchors(path):
    """The anchors a renderer gives a page's headings, as GitHub makes them."""
    text = re.sub(r'^(`{3,}|~{3,}).*?^\1', '', open(path, encoding='utf-8').read(), flags=re.S | re.M)
    return {re.sub(r'[^\w\- ]', '', h.strip().lower()).replace(' ', '-')
            for h in re.findall(r'^#+\s+(.*)$', text, re.M)}


def broken_links(page):
    """Links to files of the tree, or to headings, that lead nowhere."""
    text = re.sub(r'^(\s*)(`{3,}|~{3,}).*?^\1\2', '', open(page, encoding='utf-8').read(),
                  flags=re.S | re.M)
    broken = []
    for target in re.findall(r'\]\(([^)\s]+)\)', text):
        if re.match(r'\w+:', target):
            continue
        path, _, anchor = target.partition('#')
        full = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not os.path.exists(full):
            broken.append(f'{target} (no such file)')
        elif anchor and full.endswith('.md') and anchor not in heading_anchors(full):
            broken.append(f'{target} (no such heading)')
    return broken


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('page')
    for name in ('source-dir', 'build-dir', 'dir-file', 'jdk', 'cxx', 'cc', 'generator',
                 'plugin-repo', 'libdir', 'datadir'):
        p.add_argument('--' + name, required=True)
    p.add_argument('--mvn', default='')
    p.add_argument('--newer-jdk', default='', help='a second JDK that Java blocks run on')
    p.add_argument('--classpath', default='', help='the jars Java blocks compile against, colon-separated')
    args = p.parse_args()
    args.classpath = [c for c in args.classpath.split(':') if c]
    name = os.path.relpath(args.page, args.source_dir)
    work = tempfile.mkdtemp(prefix='varnok-docs-')
    page = Page(args, work)
    tested = skipped = failed = output = 0
    for s in snippets(args.page):
        where = f'{name}:{s.line} {s.lang or "(untagged)"}'
        if s.lang == 'text' and not s.marker:
            output += 1
            continue
        try:
            print(f'{where}: {test(page, s)}')
            tested += 1
        except Skipped as e:
            print(f'skipped: {where}: {e}')
            skipped += 1
        except Failed as e:
            print(f'FAILED: {where}: {e}')
            failed += 1
    broken = broken_links(args.page)
    for link in broken:
        print(f'FAILED: {name}: the link {link}')
    print(f'{name}: {tested + skipped + failed} snippets: {tested} tested, {skipped} skipped, '
          f'{failed} failed ({output} of output, not code); {len(broken)} broken links')
    if failed or broken:
        print(f'(files kept in {work})')
        return 1
    shutil.rmtree(work)
    return 0


def cmake_sources(source_dir, build_dir):
    """The text in which a VARNOK_ option must appear: the cache and the CMake files."""
    text = open(os.path.join(build_dir, 'CMakeCache.txt')).read()
    for root, dirs, files in os.walk(source_dir):
        dirs[:] = [d for d in dirs if not d.startswith(('.', 'build'))]
        for f in files:
            if f == 'CMakeLists.txt' or f.endswith('.cmake'):
                text += open(os.path.join(root, f)).read()
    return text


if __name__ == '__main__':
    sys.exit(main())
