#!/usr/bin/env node
// Serves an MCP server that speaks over standard input and output on
// 127.0.0.1 over Streamable HTTP, for test suites that reach servers only
// that way.
//
//   node stdio-http-front.mjs [--port N] COMMAND [ARGUMENT...]
//
// Each HTTP session gets its own server process, started the way SDK-based
// clients start one (only HOME, LOGNAME, PATH, SHELL, TERM and USER of this
// process's environment). Messages are relayed unchanged in both directions:
// replies go back on the stream of their request, notifications on the
// session's GET stream. Ending the session (DELETE) closes the process's
// input. Prints "listening <url>" on standard output once it accepts
// connections; runs until SIGTERM or SIGINT.

import { randomUUID } from 'node:crypto';
import http from 'node:http';

import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';

function usage() {
    process.stderr.write('usage: node stdio-http-front.mjs [--port N] COMMAND [ARGUMENT...]\n');
    process.exit(2);
}

const argv = process.argv.slice(2);
let port = 0;
if (argv[0] === '--port') {
    port = Number(argv[1]);
    if (!Number.isInteger(port) || port < 0 || port > 65535) {
        usage();
    }
    argv.splice(0, 2);
}
if (argv.length === 0) {
    usage();
}
const [command, ...args] = argv;

function log(text) {
    process.stderr.write(`stdio-http-front: ${text}\n`);
}

const sessions = new Map(); // session id -> HTTP transport

// A new session: an HTTP transport joined to a fresh server process.
async function openSession() {
    const server = new StdioClientTransport({ command, args, env: {}, stderr: 'inherit' });
    const front = new StreamableHTTPServerTransport({
        sessionIdGenerator: () => randomUUID(),
        onsessioninitialized: (id) => sessions.set(id, front),
        onsessionclosed: (id) => sessions.delete(id),
    });
    let closing = false;
    const closeBoth = () => {
        if (closing) {
            return;
        }
        closing = true;
        if (front.sessionId) {
            sessions.delete(front.sessionId);
        }
        void front.close().catch(() => {});
        void server.close().catch(() => {});
    };
    front.onmessage = (message) => {
        server.send(message).catch((error) => log(`cannot write to the server: ${error.message}`));
    };
    front.onclose = closeBoth;
    front.onerror = (error) => log(`http: ${error.message}`);
    server.onmessage = (message) => {
        front.send(message).catch((error) => log(`cannot relay to the client: ${error.message}`));
    };
    server.onclose = closeBoth;
    server.onerror = (error) => log(`server: ${error.message}`);
    await server.start();
    return front;
}

async function readJson(request) {
    const chunks = [];
    for await (const chunk of request) {
        chunks.push(chunk);
    }
    const text = Buffer.concat(chunks).toString('utf8');
    try {
        return { body: JSON.parse(text), parsed: true };
    } catch {
        return { body: undefined, parsed: false };
    }
}

function isInitialize(body) {
    const messages = Array.isArray(body) ? body : [body];
    return messages.some((m) => m && typeof m === 'object' && m.method === 'initialize');
}

function refuse(response, status, message, code = -32000) {
    response.writeHead(status, { 'content-type': 'application/json' });
    response.end(JSON.stringify({ jsonrpc: '2.0', error: { code, message }, id: null }));
}

const listener = http.createServer(async (request, response) => {
    try {
        const url = new URL(request.url ?? '/', 'http://127.0.0.1');
        if (url.pathname !== '/mcp') {
            refuse(response, 404, 'Not found');
            return;
        }
        const sessionId = request.headers['mcp-session-id'];
        let front = typeof sessionId === 'string' ? sessions.get(sessionId) : undefined;
        let body;
        if (request.method === 'POST') {
            let parsed;
            ({ body, parsed } = await readJson(request));
            if (!parsed) {
                refuse(response, 400, 'Parse error', -32700);
                return;
            }
            if (!front && sessionId === undefined && isInitialize(body)) {
                front = await openSession();
            }
        }
        if (!front) {
            if (sessionId === undefined) {
                refuse(response, 400, 'Bad Request: no session; start one with initialize');
            } else {
                refuse(response, 404, 'Session not found');
            }
            return;
        }
        await front.handleRequest(request, response, body);
    } catch (error) {
        log(`request failed: ${error.stack ?? error}`);
        if (!response.headersSent) {
            refuse(response, 500, 'Internal error');
        } else {
            response.end();
        }
    }
});

async function shutDown() {
    listener.close();
    await Promise.allSettled([...sessions.values()].map((front) => front.close()));
    process.exit(0);
}
process.on('SIGTERM', shutDown);
process.on('SIGINT', shutDown);

listener.listen(port, '127.0.0.1', () => {
    const address = listener.address();
    process.stdout.write(`listening http://127.0.0.1:${address.port}/mcp\n`);
});
