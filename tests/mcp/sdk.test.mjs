// The official MCP TypeScript SDK client drives the real quorvane-bridge, which
// it starts itself with its stripped environment, against the real host.

import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import {
    InitializeResultSchema,
    LATEST_PROTOCOL_VERSION,
    LoggingMessageNotificationSchema,
} from '@modelcontextprotocol/sdk/types.js';

import {
    capabilities,
    credentialTools,
    instructionsCredential,
    instructionsOpen,
    notAuthenticatedText,
    openTools,
    serverInfo,
    signUpMessage,
} from './catalogue.mjs';
import { Inbox, programs, textPayload, within, World } from './harness.mjs';

const isoSecond = /^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z$/;
const uuid = /^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$/;
const secretKey = 'k'.repeat(24) + '-0123456789abcdef'; // 41 characters

let world;

before(async () => {
    world = await World.create();
    await world.startHost();
});

after(async () => {
    await world?.dispose();
});

// A connected client whose new-item notifications land in `session.messages`.
async function connectWithInbox(options) {
    const session = await world.connect(options);
    session.messages = new Inbox();
    session.client.setNotificationHandler(LoggingMessageNotificationSchema, (notification) =>
        session.messages.push(notification),
    );
    return session;
}

// Nothing went wrong in the SDK (no schema failure, no dropped message) and
// the bridge wrote no diagnostics.
function assertClean(session) {
    assert.deepEqual(session.errors.map(String), []);
    assert.equal(session.bridgeErrors, '');
}

// A tool call's structured result, after checking that its text is the same JSON.
async function callStructured(session, name, args = {}) {
    const result = await session.client.callTool({ name, arguments: args });
    assert.equal(result.isError, undefined, `${name}: ${JSON.stringify(result)}`);
    assert.deepEqual(JSON.parse(textPayload(result)), result.structuredContent);
    return result.structuredContent;
}

async function accountNamed(name) {
    const snapshot = await world.snapshot();
    const account = snapshot.accounts.find((a) => a.displayName === name);
    assert.ok(account, `no account named ${name}`);
    return { account, settings: snapshot.settings };
}

// The bridge as a plain stdio transport of the SDK: every line it writes is
// still parsed and checked by the SDK's message schema.
async function rawBridge() {
    const transport = new StdioClientTransport({ command: programs.bridge, env: { HOME: world.home }, stderr: 'pipe' });
    const inbox = new Inbox();
    const errors = [];
    transport.onmessage = (message) => inbox.push(message);
    transport.onerror = (error) => errors.push(error);
    await transport.start();
    return { transport, inbox, errors };
}

describe('initialize', () => {
    test("with the SDK client's own protocol version", async () => {
        const session = await world.connect();
        assert.deepEqual(session.client.getServerVersion(), serverInfo);
        assert.deepEqual(session.client.getServerCapabilities(), capabilities);
        assert.equal(session.client.getInstructions(), instructionsOpen);
        await session.client.ping();
        await session.client.close();
        assertClean(session);
    });

    // The version the host answers is the one the client asked for, or the
    // host's own when none was given; the SDK accepts each reply.
    for (const [asked, expected] of [
        [LATEST_PROTOCOL_VERSION, LATEST_PROTOCOL_VERSION],
        ['2024-11-05', '2024-11-05'],
        [undefined, '2025-06-18'],
    ]) {
        test(`raw initialize asking for ${asked ?? 'no version'}`, async () => {
            const raw = await rawBridge();
            try {
                const params = { capabilities: {}, clientInfo: { name: 'raw-client', version: '0.0.1' } };
                if (asked) {
                    params.protocolVersion = asked;
                }
                await raw.transport.send({ jsonrpc: '2.0', id: 'init-1', method: 'initialize', params });
                const reply = await raw.inbox.next(10_000, 'the initialize reply');
                assert.equal(reply.id, 'init-1');
                const result = InitializeResultSchema.parse(reply.result);
                assert.equal(result.protocolVersion, expected);
                assert.deepEqual(result.serverInfo, serverInfo);
                assert.deepEqual(raw.errors, []);
            } finally {
                await raw.transport.close();
            }
        });
    }
});

describe('unauthenticated access allowed: identity from the client information', () => {
    let session;

    before(async () => {
        await world.setAllowUnauthenticated(true);
        session = await connectWithInbox({ clientInfo: { name: 'ledger-reader', version: '2.0.0' } });
    });

    after(async () => {
        await session?.client.close();
    });

    test('tools/list offers the two reading tools', async () => {
        const { tools } = await session.client.listTools();
        assert.deepEqual(tools, openTools);
    });

    test('getBalance and getTransactions of a new account', async () => {
        const { account, settings } = await accountNamed('ledger-reader');
        const balance = await callStructured(session, 'getBalance');
        assert.deepEqual(balance, {
            accountId: account.id,
            balance: settings.startingPoints,
            unseenCount: 0,
            hasNewItems: false,
        });
        const history = await callStructured(session, 'getTransactions');
        assert.equal(history.accountId, account.id);
        assert.equal(history.unseenCount, 0);
        assert.equal(history.transactions.length, 1);
        const [opening] = history.transactions;
        assert.match(opening.id, uuid);
        assert.match(opening.createdAt, isoSecond);
        assert.deepEqual(
            { ...opening, id: '', createdAt: '', sequence: 0 },
            {
                id: '',
                kind: 'credit',
                flag: 'none',
                amount: settings.startingPoints,
                signedAmount: settings.startingPoints,
                memo: 'Starting balance',
                sequence: 0,
                createdAt: '',
            },
        );
    });

    test("the operator's new entry arrives as notifications/message", async () => {
        const { account, settings } = await accountNamed('ledger-reader');
        await world.createEntry({ accountId: account.id, kind: 'debit', flag: 'penalty', amount: 5, memo: 'late / again' });
        const notification = await session.messages.next(10_000, 'the new-item notification');
        assert.deepEqual(notification.params, {
            level: 'info',
            logger: 'quorvane',
            data: {
                event: 'new_item',
                kind: 'debit',
                flag: 'penalty',
                amount: 5,
                signedAmount: -5,
                memo: 'late / again',
                balance: settings.startingPoints - 5,
                unseenCount: 1,
            },
        });

        const balance = await callStructured(session, 'getBalance');
        assert.equal(balance.unseenCount, 1);
        assert.equal(balance.hasNewItems, true);
        const history = await callStructured(session, 'getTransactions', { limit: 1 });
        assert.equal(history.unseenCount, 1);
        assert.deepEqual(
            history.transactions.map((t) => [t.kind, t.flag, t.amount, t.signedAmount, t.memo]),
            [['debit', 'penalty', 5, -5, 'late / again']],
        );
        // Reading marks the whole history seen, not only the page.
        assert.equal((await callStructured(session, 'getBalance')).unseenCount, 0);
    });

    test('logging/setLevel is answered and filters the notifications', async () => {
        const { account } = await accountNamed('ledger-reader');
        await session.client.setLoggingLevel('warning');
        await world.createEntry({ accountId: account.id, kind: 'note', amount: 0, memo: 'below the level' });
        await session.client.setLoggingLevel('debug');
        await world.createEntry({ accountId: account.id, kind: 'credit', flag: 'bonus', amount: 7, memo: 'seen' });
        // Pushes to one connection keep their order: the first one never came.
        const notification = await session.messages.next(10_000, 'the notification after setLevel');
        assert.equal(notification.params.data.memo, 'seen');
        assert.equal(notification.params.data.unseenCount, 2);
    });

    test('signUp and login are not offered', async () => {
        const result = await session.client.callTool({ name: 'signUp', arguments: { key: secretKey } });
        assert.deepEqual(result, { content: [{ type: 'text', text: 'Unknown tool: signUp' }], isError: true });
        assertClean(session);
    });
});

describe('credential accounts: signUp, login, a second bridge', () => {
    let first;
    let second;
    let accountId;

    before(async () => {
        await world.setAllowUnauthenticated(false);
        first = await world.connect();
        second = await world.connect();
    });

    after(async () => {
        await first?.client.close();
        await second?.client.close();
    });

    test('tools/list offers all four tools and the instructions ask for authentication', async () => {
        assert.equal(first.client.getInstructions(), instructionsCredential);
        const { tools } = await first.client.listTools();
        assert.deepEqual(tools, credentialTools);
    });

    test('getBalance before authentication is the not-authenticated tool error', async () => {
        const result = await first.client.callTool({ name: 'getBalance', arguments: {} });
        assert.deepEqual(result, {
            content: [{ type: 'text', text: notAuthenticatedText }],
            isError: true,
            structuredContent: { error: 'not_authenticated' },
        });
    });

    test('signUp creates an account and binds the session', async () => {
        const short = await first.client.callTool({ name: 'signUp', arguments: { key: 'x'.repeat(39) } });
        assert.deepEqual(short.content, [{ type: 'text', text: 'Key must be at least 40 characters.' }]);
        const { settings } = await world.snapshot();
        const created = await callStructured(first, 'signUp', { key: secretKey });
        assert.match(created.accountId, uuid);
        assert.deepEqual(created, { accountId: created.accountId, balance: settings.startingPoints, message: signUpMessage });
        accountId = created.accountId;
        const balance = await callStructured(first, 'getBalance');
        assert.equal(balance.accountId, accountId);
        assert.equal(balance.unseenCount, 0);
    });

    test('a second bridge logs in with the saved id and key', async () => {
        const wrong = await second.client.callTool({ name: 'login', arguments: { accountId, key: `${secretKey}!` } });
        assert.deepEqual(wrong, { content: [{ type: 'text', text: 'Invalid account id or key.' }], isError: true });
        const loggedIn = await callStructured(second, 'login', { accountId, key: secretKey });
        assert.equal(loggedIn.accountId, accountId);
        assert.equal(loggedIn.message, 'Logged in.');
        assert.equal((await callStructured(second, 'getBalance')).accountId, accountId);
        assertClean(first);
        assertClean(second);
    });
});

test('switching the access mode arrives as notifications/tools/list_changed with a re-listed catalogue', async () => {
    await world.setAllowUnauthenticated(true);
    const catalogues = new Inbox();
    const session = await world.connect({
        clientInfo: { name: 'list-watcher', version: '1.0.0' },
        options: {
            listChanged: {
                tools: { autoRefresh: true, debounceMs: 0, onChanged: (error, tools) => catalogues.push({ error, tools }) },
            },
        },
    });
    try {
        await world.setAllowUnauthenticated(false);
        const closed = await catalogues.next(10_000, 'the catalogue after switching off');
        assert.equal(closed.error, null);
        assert.deepEqual(closed.tools, credentialTools);
        const locked = await session.client.callTool({ name: 'getBalance', arguments: {} });
        assert.deepEqual(locked.structuredContent, { error: 'not_authenticated' });

        await world.setAllowUnauthenticated(true);
        const open = await catalogues.next(10_000, 'the catalogue after switching on');
        assert.deepEqual(open.tools, openTools);
        // Bound again by its client information, without logging in.
        const { account } = await accountNamed('list-watcher');
        assert.equal((await callStructured(session, 'getBalance')).accountId, account.id);
        assertClean(session);
    } finally {
        await session.client.close();
    }
});

describe('the host restarted in the middle of a session', () => {
    // Each session is rebuilt by the bridge on the new connection: credential
    // sessions by replaying their login, the others by their initialize.
    for (const mode of ['credential', 'client information']) {
        test(`${mode}: the agent notices nothing`, async () => {
            await world.setAllowUnauthenticated(mode !== 'credential');
            const session = await connectWithInbox({ clientInfo: { name: `restart-${mode}`, version: '1.0.0' } });
            try {
                if (mode === 'credential') {
                    await callStructured(session, 'signUp', { key: secretKey });
                }
                const before = await callStructured(session, 'getBalance');

                await world.stopHost();
                await world.startHost();

                const afterRestart = await callStructured(session, 'getBalance');
                assert.deepEqual(afterRestart, before);
                // Pushes reach the session on its new connection too.
                await world.createEntry({ accountId: before.accountId, kind: 'credit', amount: 3, memo: 'after restart' });
                const notification = await session.messages.next(10_000, 'the notification after the restart');
                assert.equal(notification.params.data.memo, 'after restart');
                assert.deepEqual(session.errors.map(String), []);
            } finally {
                await session.client.close();
            }
        });
    }

    test(
        'the logging level the agent chose still applies after the restart',
        { todo: 'the bridge replays initialize and login only, so the new host forgets logging/setLevel' },
        async () => {
            await world.setAllowUnauthenticated(true);
            const session = await connectWithInbox({ clientInfo: { name: 'restart-level', version: '1.0.0' } });
            try {
                const { accountId } = await callStructured(session, 'getBalance');
                await session.client.setLoggingLevel('error');
                await world.stopHost();
                await world.startHost();
                await callStructured(session, 'getBalance');
                await world.createEntry({ accountId, kind: 'note', amount: 0, memo: 'below the level' });
                await session.client.setLoggingLevel('debug');
                await world.createEntry({ accountId, kind: 'note', amount: 0, memo: 'at the level' });
                const notification = await session.messages.next(10_000, 'the notification after setLevel');
                assert.equal(notification.params.data.memo, 'at the level');
            } finally {
                await session.client.close();
            }
        },
    );
});

test('stdin closed: the bridge exits by itself within the 2 s grace', async () => {
    const session = await world.connect();
    await callStructured(session, 'getBalance');
    const bridge = session.bridge;
    assert.ok(bridge);
    const exited = new Promise((resolve) => bridge.once('exit', (code, sig) => resolve({ code, signal: sig })));
    const started = performance.now();
    bridge.stdin.end();
    const outcome = await within(2_000, 'the bridge to exit after end of input', exited);
    const elapsed = performance.now() - started;
    assert.deepEqual(outcome, { code: 0, signal: null });
    assert.ok(elapsed < 2_000, `took ${elapsed} ms`);
    await session.client.close();
    assertClean(session);
});
