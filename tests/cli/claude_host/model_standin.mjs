// A stand-in for the model API on loopback, so that the real host completes turns offline. It
// speaks the Messages API's streaming form (server-sent events), as the host asks for it, and
// plays a fixed script keyed on the conversation so far:
//   - a typed correction: a one-line preamble and a Read of `readPath` (one content block per
//     transcript line, as the host writes them), then, once the result is back, the final answer;
//   - a prompt that carries a fenced `remember-mark` command (what /remember expands to): a Bash
//     call running that command line, then the confirmation the command file asks for.
// Every request is kept; a CONNECT (the host reaching past loopback through the proxy it was
// given) is refused and kept too.
import http from 'node:http';

export const preamble = 'Let me check the imports first.';
export const correctionAnswer =
  'Understood: this project imports names explicitly, so I will never use a wildcard import here.';
export const rememberAnswer = 'Noted \u2014 Nodrel will capture this when Claude finishes responding.';

function lastUserMessage(messages) {
  for (let i = messages.length - 1; i >= 0; --i) {
    if (messages[i].role === 'user') return messages[i];
  }
  return { content: [] };
}

function blocksOf(message) {
  return typeof message.content === 'string'
    ? [{ type: 'text', text: message.content }]
    : message.content;
}

function scriptedReply(request, readPath, serial) {
  const blocks = blocksOf(lastUserMessage(request.messages ?? []));
  const result = blocks.find((block) => block.type === 'tool_result');
  if (result) {
    return [{ type: 'text',
              text: result.tool_use_id.startsWith('toolu_remember') ? rememberAnswer
                                                                    : correctionAnswer }];
  }
  const text = blocks.filter((block) => block.type === 'text').map((block) => block.text).join('\n');
  const command = text.match(/```bash\n([^\n]*remember-mark[^\n]*)\n```/);
  if (command) {
    return [{ type: 'tool_use', id: `toolu_remember_${serial}`, name: 'Bash',
              input: { command: command[1], description: 'Save a Nodrel marker' } }];
  }
  return [{ type: 'text', text: preamble },
          { type: 'tool_use', id: `toolu_check_${serial}`, name: 'Read',
            input: { file_path: readPath } }];
}

function streamReply(response, model, content, serial) {
  const send = (type, data) =>
    response.write(`event: ${type}\ndata: ${JSON.stringify({ type, ...data })}\n\n`);
  response.writeHead(200, { 'content-type': 'text/event-stream', 'cache-control': 'no-cache' });
  send('message_start', { message: { id: `msg_standin_${serial}`, type: 'message', role: 'assistant',
                                     model, content: [], stop_reason: null, stop_sequence: null,
                                     usage: { input_tokens: 12, output_tokens: 1 } } });
  content.forEach((block, index) => {
    if (block.type === 'text') {
      send('content_block_start', { index, content_block: { type: 'text', text: '' } });
      send('content_block_delta', { index, delta: { type: 'text_delta', text: block.text } });
    } else {
      send('content_block_start', { index, content_block: { ...block, input: {} } });
      send('content_block_delta', { index, delta: { type: 'input_json_delta',
                                                    partial_json: JSON.stringify(block.input) } });
    }
    send('content_block_stop', { index });
  });
  const usesTool = content.some((block) => block.type === 'tool_use');
  send('message_delta', { delta: { stop_reason: usesTool ? 'tool_use' : 'end_turn', stop_sequence: null },
                          usage: { output_tokens: 16 } });
  send('message_stop', {});
  response.end();
}

// Resolves to { port, requests, refusedConnects, close() } once listening on 127.0.0.1.
export function startModelStandIn({ delayMs, readPath }) {
  const requests = [];
  const refusedConnects = [];
  const server = http.createServer((request, response) => {
    let body = '';
    request.setEncoding('utf8');
    request.on('data', (chunk) => { body += chunk; });
    request.on('end', () => {
      const serial = requests.length;
      requests.push({ method: request.method, url: request.url });
      const path = request.url.split('?')[0];
      if (request.method !== 'POST' || path !== '/v1/messages') {
        response.writeHead(404, { 'content-type': 'application/json' });
        response.end(JSON.stringify({ type: 'error',
                                      error: { type: 'not_found_error', message: 'not served here' } }));
        return;
      }
      let parsed;
      try {
        parsed = JSON.parse(body);
      } catch {
        response.writeHead(400, { 'content-type': 'application/json' });
        response.end(JSON.stringify({ type: 'error',
                                      error: { type: 'invalid_request_error', message: 'bad JSON' } }));
        return;
      }
      const content = scriptedReply(parsed, readPath, serial);
      // A model takes a while to answer; the hooks must not rely on an instant reply.
      setTimeout(() => streamReply(response, parsed.model, content, serial), delayMs);
    });
  });
  server.on('connect', (request, socket) => {
    refusedConnects.push(request.url);
    socket.destroy();
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      resolve({
        port: server.address().port,
        requests,
        refusedConnects,
        close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
      });
    });
  });
}
