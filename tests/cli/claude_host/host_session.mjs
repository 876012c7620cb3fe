// The hooks under the real host: Claude Code, installed from npm, runs a session against a model
// stand-in on loopback with the hooks `nodrel enable-hook` installed in a scratch HOME. The
// session is a correction answered after a tool call, then /remember as its last turn; what the
// hooks stored is read back from the database.
//
// Usage: node host_session.mjs <nodrel> <nodrel-app> <folder Claude Code was installed into>
// Exits 77 (skipped) when the host or sqlite3 is missing, unless NODREL_CLAUDE_CODE_REQUIRED is set.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, symlinkSync,
         writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { correctionAnswer, preamble, rememberAnswer, startModelStandIn } from './model_standin.mjs';

const [nodrelArg, appPath, hostDir] = process.argv.slice(2);
if (!nodrelArg || !appPath || !hostDir) {
  console.error('usage: host_session.mjs <nodrel> <nodrel-app> <claude-code folder>');
  process.exit(2);
}

const nodrelPath = resolve(nodrelArg);

function skip(message) {
  if (process.env.NODREL_CLAUDE_CODE_REQUIRED) {
    console.error(`FAIL: ${message}`);
    process.exit(1);
  }
  console.log(`SKIP: ${message}`);
  process.exit(77);
}

// The npm package is a wrapper; the program is the native one in the platform's own package.
const libc = process.report?.getReport().header.glibcVersionRuntime ? '' : '-musl';
const hostProgram = join(resolve(hostDir), 'node_modules', '@anthropic-ai',
                         `claude-code-${process.platform}-${process.arch}${process.platform === 'linux' ? libc : ''}`,
                         'claude');
if (!existsSync(hostProgram)) skip(`Claude Code not installed in ${hostDir} (run scripts/claude-code)`);
try {
  execFileSync('sqlite3', ['-version'], { stdio: 'ignore' });
} catch {
  skip('sqlite3 not found; the stored memories are read with it');
}

const correction = 'No, never use wildcard imports in this project; import each name explicitly.';
const rememberNote = 'explicit imports only';
const noAnswer = '(no assistant response)';

const home = mkdtempSync(join(tmpdir(), 'nodrel-host-'));
const project = join(home, 'project');
const hookEnv = { PATH: process.env.PATH ?? '/usr/bin:/bin', HOME: home, LANG: 'C.UTF-8' };
// The hooks are the sanitized build's programs; they keep the suite's sanitizer settings.
for (const name of ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS']) {
  if (process.env[name]) hookEnv[name] = process.env[name];
}
// The host keeps per-session folders and sockets under the temporary directory: inside HOME,
// they go with it.
hookEnv.TMPDIR = join(home, 'tmp');

function runHost(standIn, args) {
  const url = `http://127.0.0.1:${standIn.port}`;
  const env = {
    ...hookEnv,
    ANTHROPIC_BASE_URL: url,
    ANTHROPIC_API_KEY: 'sk-ant-loopback-stand-in',
    // Nothing but the model's requests, and those only to loopback: anything else the host might
    // try goes to the stand-in's proxy port, which refuses it and keeps its address.
    CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC: '1',
    DISABLE_AUTOUPDATER: '1',
    DISABLE_TELEMETRY: '1',
    DISABLE_ERROR_REPORTING: '1',
    HTTPS_PROXY: url,
    HTTP_PROXY: url,
    NO_PROXY: '127.0.0.1',
  };
  return new Promise((resolve, reject) => {
    const child = spawn(hostProgram, ['-p', ...args, '--output-format', 'json'],
                        { cwd: project, env, stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (chunk) => { stdout += chunk; });
    child.stderr.on('data', (chunk) => { stderr += chunk; });
    const timer = setTimeout(() => child.kill('SIGKILL'), 90_000);
    child.on('error', reject);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      if (code !== 0) {
        reject(new Error(`claude ${args.join(' ')} exited ${code ?? signal}\n${stdout}\n${stderr}`));
        return;
      }
      // The host reports a failed SessionEnd hook only here: the transcript is closed by then.
      const failed = stderr.split('\n').filter((line) => /hook \[.*\] failed/.test(line));
      if (failed.length) {
        reject(new Error(`a hook failed under claude ${args.join(' ')}:\n${failed.join('\n')}`));
        return;
      }
      resolve(JSON.parse(stdout));
    });
  });
}

function storedRows(sql) {
  const database = join(home, '.local', 'share', 'Nodrel', 'nodrel.db');
  const out = execFileSync('sqlite3', ['-readonly', '-json', database, sql],
                           { encoding: 'utf8' });
  return out.trim() === '' ? [] : JSON.parse(out);
}

// What the host recorded of its hooks: an error of any of them is a failed run.
function hookFailures(transcriptPath) {
  const failures = [];
  for (const line of readFileSync(transcriptPath, 'utf8').split('\n')) {
    if (!line.trim()) continue;
    const record = JSON.parse(line);
    if (record.type === 'system' && Array.isArray(record.hookErrors) && record.hookErrors.length) {
      failures.push(JSON.stringify(record.hookErrors));
    }
    const kind = record.type === 'attachment' ? record.attachment?.type ?? '' : '';
    if (kind.startsWith('hook_') && kind !== 'hook_success' && kind !== 'hook_additional_context') {
      failures.push(JSON.stringify(record.attachment));
    }
  }
  return failures;
}

let standIn;
let exitCode = 1;
const started = Date.now();
try {
  mkdirSync(join(project, 'src'), { recursive: true });
  mkdirSync(hookEnv.TMPDIR);
  writeFileSync(join(project, 'src', 'app.py'), 'from os.path import *\n\nprint(join("a", "b"))\n');
  execFileSync(appPath, ['init'], { env: hookEnv, stdio: ['ignore', 'ignore', 'inherit'] });
  // The hooks run the program where the installer points them.
  mkdirSync(join(home, '.nodrel', 'bin'), { recursive: true });
  symlinkSync(nodrelPath, join(home, '.nodrel', 'bin', 'nodrel'));
  execFileSync(nodrelPath, ['enable-hook'], { env: hookEnv, stdio: ['ignore', 'ignore', 'inherit'] });

  standIn = await startModelStandIn({ delayMs: 1000, readPath: join(project, 'src', 'app.py') });
  const first = await runHost(standIn, [correction]);
  assert.equal(first.result, correctionAnswer, 'the host completed the correction turn');
  const second = await runHost(standIn, ['--resume', first.session_id, `/remember ${rememberNote}`]);
  assert.equal(second.session_id, first.session_id, 'the /remember turn continued the session');
  assert.equal(second.result, rememberAnswer, 'the host ran the /remember command');

  assert.deepEqual(standIn.refusedConnects, [], 'the host reached for nothing past loopback');
  for (const request of standIn.requests) {
    assert.match(`${request.method} ${request.url}`, /^POST \/v1\/messages(\?|$)/,
                 'the host asked the stand-in only for model turns');
  }
  const projects = join(home, '.claude', 'projects');
  const [folder] = readdirSync(projects);
  const transcript = join(projects, folder, `${first.session_id}.jsonl`);
  assert.deepEqual(hookFailures(transcript), [], 'every hook the host ran succeeded');

  const memories = storedRows(
    'SELECT body, tags, source_session FROM memories WHERE deleted_at IS NULL ORDER BY created_at');
  const bodies = memories.map((memory) => memory.body);
  const dump = `stored:\n${bodies.map((body) => `  ${JSON.stringify(body)}`).join('\n')}`;
  assert.ok(bodies.every((body) => !body.includes(noAnswer)), `an answer is missing\n${dump}`);
  assert.equal(new Set(bodies).size, bodies.length, `a memory is stored twice\n${dump}`);

  // The correction, once, with the answer the turn ended on rather than its preamble alone.
  const corrections = memories.filter((memory) => memory.body.startsWith(`Q: ${correction}`));
  assert.equal(corrections.length, 1, `the correction is stored once\n${dump}`);
  assert.ok(corrections[0].body.includes(correctionAnswer),
            `the correction keeps the turn's answer\n${dump}`);
  assert.notEqual(corrections[0].body, `Q: ${correction}\n\nA: ${preamble}`);
  assert.equal(corrections[0].source_session, first.session_id);

  // /remember as the session's last turn: its marker consumed into one memory with the note.
  const remembered = memories.filter((memory) => (memory.tags ?? '').split(',').includes('remember'));
  assert.equal(remembered.length, 1, `the /remember turn is stored once\n${dump}`);
  // What the user flagged is the exchange before the command, not the command's own turn.
  assert.ok(remembered[0].body.startsWith(`Q: [${rememberNote}] ${correction}`),
            `the /remember memory holds the flagged exchange and its note\n${dump}`);
  assert.deepEqual(storedRows('SELECT note FROM checkpoints'), [{ note: rememberNote }]);
  const markers = readdirSync(join(home, '.local', 'share', 'Nodrel', 'checkpoints'))
    .filter((name) => name.endsWith('.json'));
  assert.deepEqual(markers, [], 'no marker is left waiting');

  console.log(`PASS: ${memories.length} memories from a real host session in ` +
              `${((Date.now() - started) / 1000).toFixed(1)} s`);
  exitCode = 0;
} catch (error) {
  console.error(error.stack ?? error);
} finally {
  await standIn?.close();
  rmSync(home, { recursive: true, force: true });
}
process.exit(exitCode);
