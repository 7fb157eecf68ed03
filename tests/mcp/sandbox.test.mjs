// The official MCP TypeScript SDK client as a confined agent: it runs inside
// quorvane-sandbox and reaches the real host only through
// `quorvane-bridge --socket`; the operator credits it from outside.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import path from 'node:path';
import readline from 'node:readline';
import { after, before, test } from 'node:test';

import { programs, within, World } from './harness.mjs';

const sandbox = process.env.QUORVANE_SANDBOX;
const here = path.dirname(new URL(import.meta.url).pathname);
const serviceName = 'K7QW2ZR5VD.com.zentrafell.quorvane.host';

// Why agents cannot be confined here, if they cannot.
function unavailable() {
    if (!sandbox) {
        return 'QUORVANE_SANDBOX is not set';
    }
    const probe = spawnSync('bwrap', ['--unshare-user', '--unshare-pid', '--ro-bind', '/', '/', '--', '/bin/true']);
    if (probe.error) {
        return 'bubblewrap (bwrap) is not installed';
    }
    return probe.status === 0 ? null : `unprivileged user namespaces are not available: ${probe.stderr}`;
}

let world;

before(async () => {
    world = await World.create();
    await world.startHost();
});

after(async () => {
    await world?.dispose();
});

test('a confined SDK client reads its balance and receives a credit', { skip: unavailable() ?? false }, async () => {
    // The agent environment has no XDG_RUNTIME_DIR: the socket is in /run/user/<uid>.
    const socket = `/run/user/${process.getuid()}/quorvane/${serviceName}`;
    const agent = spawn(
        sandbox,
        ['--ro', here, '--', process.execPath, path.join(here, 'confined-agent.mjs'), programs.bridge, socket],
        { env: world.agentEnvironment, stdio: ['ignore', 'pipe', 'pipe'] },
    );
    let errors = '';
    agent.stderr.setEncoding('utf8');
    agent.stderr.on('data', (text) => {
        errors += text;
    });
    const exited = new Promise((resolve) => agent.on('exit', (code) => resolve(code)));
    const lines = readline.createInterface({ input: agent.stdout })[Symbol.asyncIterator]();
    const nextLine = async (what) => {
        const { value, done } = await within(20_000, what, lines.next());
        assert.ok(!done, `the agent ended before ${what}; its standard error: ${errors}`);
        return JSON.parse(value);
    };

    const { balance } = await nextLine('the balance');
    assert.equal(balance.balance, 50000);
    await world.createEntry({ accountId: balance.accountId, kind: 'credit', amount: 25, memo: 'from outside' });
    const { notification } = await nextLine('the notification');
    assert.equal(notification.data.event, 'new_item');
    assert.equal(notification.data.balance, 50025);
    assert.equal(notification.data.memo, 'from outside');
    assert.equal(await within(10_000, 'the agent to end', exited), 0, errors);
    assert.match(errors, /accepting it on its user id alone/);
});
