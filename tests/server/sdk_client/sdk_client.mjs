// The server under a client nobody here wrote: the official MCP TypeScript SDK's Client over
// its StdioClientTransport, as a host runs it.
//
// Usage: node sdk_client.mjs <NodrelMCP> <nodrel-app> <folder the SDK was installed into>
// Exits 77 (skipped) when the SDK is not installed, unless NODREL_MCP_SDK_REQUIRED is set.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [serverPath, appPath, sdkDir] = process.argv.slice(2);
if (!serverPath || !appPath || !sdkDir) {
  console.error('usage: sdk_client.mjs <NodrelMCP> <nodrel-app> <sdk folder>');
  process.exit(2);
}

const sdkRoot = join(sdkDir, 'node_modules', '@modelcontextprotocol', 'sdk');
if (!existsSync(join(sdkRoot, 'package.json'))) {
  const message = `MCP SDK not installed in ${sdkDir} (run scripts/mcp-sdk)`;
  if (process.env.NODREL_MCP_SDK_REQUIRED) {
    console.error(`FAIL: ${message}`);
    process.exit(1);
  }
  console.log(`SKIP: ${message}`);
  process.exit(77);
}
// The script lives outside the SDK folder, so bare-name imports would not find the package.
const sdkModule = (path) => import(pathToFileURL(join(sdkRoot, 'dist', 'esm', path)).href);
const { Client } = await sdkModule('client/index.js');
const { StdioClientTransport } = await sdkModule('client/stdio.js');

const home = mkdtempSync(join(tmpdir(), 'nodrel-sdk-'));
const env = { ...process.env, HOME: home };
delete env.XDG_DATA_HOME;
delete env.XDG_CONFIG_HOME;
delete env.NODREL_SURFACE;

let stderr = '';
let exitCode = 1;
try {
  execFileSync(appPath, ['init'], { env, stdio: ['ignore', 'ignore', 'inherit'] });
  const project = join(home, 'project');
  mkdirSync(join(project, 'src'), { recursive: true });
  writeFileSync(join(project, 'src', 'util.ts'),
    'export function formatName(name: string): string {\n  return name.trim();\n}\n');
  writeFileSync(join(project, 'src', 'app.ts'),
    "import { formatName } from './util';\n\nexport class App {\n" +
    "  greet(name: string): string {\n    return formatName(name);\n  }\n}\n");

  const transport = new StdioClientTransport({ command: serverPath, args: [], env, stderr: 'pipe' });
  transport.stderr.on('data', (chunk) => { stderr += chunk; });
  const stderrEnded = new Promise((resolve) => transport.stderr.on('end', resolve));
  const client = new Client({ name: 'nodrel-sdk-test', version: '1.0.0' });
  await client.connect(transport);

  assert.deepEqual(client.getServerVersion(), { name: 'nodrel-mcp', version: '1.0.0' });
  assert.ok(client.getServerCapabilities()?.tools, 'the server offers tools');

  // The SDK checks each definition against its own schema; ours must also carry an input schema.
  const { tools } = await client.listTools();
  assert.equal(tools.length, 16);
  assert.equal(new Set(tools.map((t) => t.name)).size, 16, 'tool names are unique');
  for (const tool of tools) {
    assert.equal(tool.inputSchema?.type, 'object', `${tool.name} has an object inputSchema`);
    assert.equal(typeof tool.description, 'string');
  }
  const remember = tools.find((t) => t.name === 'nodrel_remember');
  assert.deepEqual([...remember.inputSchema.required].sort(), ['content', 'project_path']);
  assert.ok(tools.some((t) => t.name === 'nodrel_audit_log'));

  const textResult = (result) => {
    assert.equal(result.isError ?? false, false);
    assert.equal(result.content.length, 1);
    assert.equal(result.content[0].type, 'text');
    return JSON.parse(result.content[0].text);
  };

  const sessionId = 'sdk-session-1';
  const saved = textResult(await client.callTool({
    name: 'nodrel_remember',
    arguments: {
      project_path: project,
      content: 'Run the <b>migrations</b> before the seed script — always.',
      rationale: 'the seed script assumes the new columns',
      session_id: sessionId,
    },
  }));
  assert.equal(saved.success, true, JSON.stringify(saved));
  assert.match(saved.memory_id, /^[0-9a-f]{64}$/);
  assert.equal(saved.importance, 9);
  assert.equal(saved.tags, 'remember,flagged');
  assert.equal(saved.tier, 'episodic');
  assert.equal(saved.rationale, 'the seed script assumes the new columns');
  assert.ok(!Number.isNaN(Date.parse(saved.created_at)), saved.created_at);

  // A refused call is still a tool result, not a protocol error, and it is audited as such.
  const refused = textResult(await client.callTool({
    name: 'nodrel_remember',
    arguments: { project_path: 'relative/path', content: 'x', session_id: sessionId },
  }));
  assert.deepEqual(refused, { success: false, error: 'project_path must be an absolute path' });

  const log = textResult(await client.callTool({
    name: 'nodrel_audit_log',
    arguments: { session_id: sessionId, limit: 10 },
  }));
  assert.equal(log.count, 2);
  assert.equal(log.total, 2);
  assert.deepEqual(log.entries.map((e) => [e.tool_name, e.result_summary, e.impact_scope]), [
    ['nodrel_remember', 'rejected', 'memories'],
    ['nodrel_remember', 'write:remember', 'memories'],
  ]);
  for (const entry of log.entries) assert.equal(entry.session_id, sessionId);

  // The audit call itself was audited once it had answered.
  const all = textResult(await client.callTool({ name: 'nodrel_audit_log', arguments: {} }));
  assert.equal(all.total, 3);
  assert.equal(all.entries[0].tool_name, 'nodrel_audit_log');
  assert.equal(all.entries[0].result_summary, 'read:audit');

  // What a change will affect: index the project, then ask about its shared helper.
  const ingested = textResult(await client.callTool({
    name: 'nodrel_ingest_project',
    arguments: { project_path: project },
  }));
  assert.equal(ingested.success, true, JSON.stringify(ingested));
  assert.equal(ingested.files_discovered, 2);
  assert.equal(ingested.files_parsed, 2);
  assert.deepEqual(ingested.errors, []);
  const impact = textResult(await client.callTool({
    name: 'nodrel_get_impact',
    arguments: { project, files: ['src/util.ts'] },
  }));
  assert.equal(impact.success, true, JSON.stringify(impact));
  assert.deepEqual(impact.changed_files, ['src/util.ts']);
  assert.deepEqual(impact.direct_dependents, ['src/app.ts']);
  assert.equal(impact.blast_radius, 1);
  assert.match(impact.report_markdown, /^## Impact Analysis/);

  await client.close();
  await stderrEnded;
  // A sanitizer report or an abnormal end would show here: the server's last word must be its
  // clean exit on end of input.
  assert.doesNotMatch(stderr, /Sanitizer|runtime error/);
  const lines = stderr.trimEnd().split('\n');
  assert.equal(lines[0], '[nodrel-mcp] server started');
  assert.ok(lines.includes('[nodrel-mcp] notification: notifications/initialized'), stderr);
  assert.equal(lines.at(-1), '[nodrel-mcp] stdin closed, exiting');
  console.log(`PASS: ${tools.length} tools listed, memory ${saved.memory_id} saved and audited`);
  exitCode = 0;
} catch (error) {
  console.error('FAIL:', error);
  if (stderr) console.error(`server stderr:\n${stderr}`);
} finally {
  rmSync(home, { recursive: true, force: true });
}
process.exit(exitCode);
