// What the MCP client suites share: a private home folder per suite, the real
// host started as a login session would start it, an operator that speaks the
// control protocol with the app's identity, and SDK clients that start the
// real bridge the way every SDK-based MCP client does.
//
// Programs come from the environment (CTest sets them): QUORVANE_HOST,
// QUORVANE_BRIDGE and QUORVANE_OPERATOR.

import { execFile, spawn } from 'node:child_process';
import { mkdir, mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { getDefaultEnvironment, StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const execFileAsync = promisify(execFile);

export const programs = {
    host: requiredVariable('QUORVANE_HOST'),
    bridge: requiredVariable('QUORVANE_BRIDGE'),
    operator: requiredVariable('QUORVANE_OPERATOR'),
};

function requiredVariable(name) {
    const value = process.env[name];
    if (!value) {
        throw new Error(`${name} is not set; run these tests through CTest`);
    }
    return value;
}

// Resolves with the result of `promise`, or rejects after `ms` with `what`.
export function within(ms, what, promise) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// A promise and the function that settles it, for events awaited by a test.
export function signal() {
    let resolve;
    const promise = new Promise((r) => {
        resolve = r;
    });
    return { promise, resolve };
}

// Values that arrive one by one (notifications); next() waits for the next one.
export class Inbox {
    #items = [];
    #waiters = [];

    push(item) {
        const waiter = this.#waiters.shift();
        if (waiter) {
            waiter(item);
        } else {
            this.#items.push(item);
        }
    }

    next(ms = 10_000, what = 'a notification') {
        if (this.#items.length > 0) {
            return Promise.resolve(this.#items.shift());
        }
        return within(ms, what, new Promise((resolve) => this.#waiters.push(resolve)));
    }

    get pending() {
        return this.#items.length;
    }
}

// The private world of one suite.
export class World {
    home = '';
    #root = '';
    #host = null;
    #clients = [];

    static async create() {
        const world = new World();
        world.#root = await mkdtemp(path.join(os.tmpdir(), 'quorvane-mcp-'));
        world.home = path.join(world.#root, 'home');
        await mkdir(world.home, { mode: 0o700 });
        return world;
    }

    // Exactly what an SDK-based client gives the bridge: HOME, LOGNAME, PATH,
    // SHELL, TERM and USER of its own environment, with our private HOME.
    get agentEnvironment() {
        return { ...getDefaultEnvironment(), HOME: this.home };
    }

    // The host and the operator resolve their places from the same stripped
    // environment, so all of them meet the bridge at the same socket.
    async startHost() {
        if (this.#host) {
            throw new Error('the host is already running');
        }
        const child = spawn(programs.host, [], {
            env: this.agentEnvironment,
            stdio: ['ignore', 'ignore', 'pipe'],
        });
        const host = { child, errors: '', exited: null };
        child.stderr.setEncoding('utf8');
        child.stderr.on('data', (text) => {
            host.errors += text;
        });
        host.exited = new Promise((resolve) => child.on('exit', (code, sig) => resolve({ code, signal: sig })));
        this.#host = host;
        try {
            await this.operator({ snapshot: {} }, { waitMs: 15_000 });
        } catch (error) {
            throw new Error(`the host did not get ready: ${error.message}; its standard error: ${host.errors}`);
        }
    }

    // Ends the host the way a session ends it (SIGTERM) and checks it ended well.
    async stopHost() {
        const host = this.#host;
        if (!host) {
            return;
        }
        this.#host = null;
        host.child.kill('SIGTERM');
        const { code, signal: sig } = await within(10_000, 'the host to exit', host.exited);
        if (code !== 0) {
            throw new Error(`the host ended with ${code ?? sig}; its standard error: ${host.errors}`);
        }
    }

    // One control request with the app's identity; answers the parsed response.
    async operator(request, { waitMs = 0 } = {}) {
        const args = waitMs > 0 ? ['--wait', String(waitMs), JSON.stringify(request)] : [JSON.stringify(request)];
        const { stdout } = await execFileAsync(programs.operator, args, {
            env: this.agentEnvironment,
            timeout: waitMs + 15_000,
        });
        return JSON.parse(stdout);
    }

    async snapshot() {
        const response = await this.operator({ snapshot: {} });
        if (!response.snapshot) {
            throw new Error(`no snapshot: ${JSON.stringify(response)}`);
        }
        return response.snapshot._0;
    }

    async expectOk(request) {
        const response = await this.operator(request);
        if (!response.ok) {
            throw new Error(`${JSON.stringify(request)} answered ${JSON.stringify(response)}`);
        }
    }

    setAllowUnauthenticated(value) {
        return this.expectOk({ setAllowUnauthenticated: { _0: value } });
    }

    createEntry(entry) {
        return this.expectOk({ createEntry: { _0: { flag: 'none', memo: '', ...entry } } });
    }

    // An SDK client connected through a fresh bridge. Every notification and
    // every error the SDK reports is collected; clientInfo defaults to a name
    // unique to the call.
    async connect({ clientInfo, options = {} } = {}) {
        const info = clientInfo ?? { name: `sdk-suite-${this.#clients.length + 1}`, version: '1.0.0' };
        const client = new Client(info, options);
        const transport = new StdioClientTransport({
            command: programs.bridge,
            env: { HOME: this.home },
            stderr: 'pipe',
        });
        const session = { client, transport, info, errors: [], bridgeErrors: '', bridge: null };
        transport.stderr.setEncoding('utf8');
        transport.stderr.on('data', (text) => {
            session.bridgeErrors += text;
        });
        client.onerror = (error) => session.errors.push(error);
        this.#clients.push(session);
        await within(20_000, 'connect', client.connect(transport));
        session.bridge = transport._process ?? null; // the bridge's ChildProcess, to see how it ends
        return session;
    }

    // Closes everything this world started and removes its folders; fails
    // when the host did not end well (a sanitizer report included).
    async dispose() {
        for (const session of this.#clients) {
            await session.client.close().catch(() => {});
        }
        this.#clients = [];
        try {
            await this.stopHost();
        } finally {
            if (this.#root) {
                await rm(this.#root, { recursive: true, force: true });
            }
        }
    }
}

// The JSON text in a tool result's one text item, parsed.
export function textPayload(result) {
    if (!Array.isArray(result.content) || result.content.length !== 1 || result.content[0].type !== 'text') {
        throw new Error(`unexpected content: ${JSON.stringify(result.content)}`);
    }
    return result.content[0].text;
}
