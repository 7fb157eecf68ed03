// The MCP inspector CLI, configured with the same mcpServers snippet that
// docs/OPERATOR.md gives operators, lists the tools and calls getBalance
// through quorvane-bridge.

import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { writeFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, test } from 'node:test';

import { openTools } from './catalogue.mjs';
import { programs, World } from './harness.mjs';

const require = createRequire(import.meta.url);
const inspectorCli = path.join(
    path.dirname(require.resolve('@modelcontextprotocol/inspector-cli/package.json')),
    'build',
    'cli.js',
);

let world;
let config;

before(async () => {
    world = await World.create();
    await world.startHost();
    config = path.join(world.home, 'mcp.json');
    await writeFile(config, JSON.stringify({ mcpServers: { quorvane: { command: programs.bridge, args: [] } } }));
});

after(async () => {
    await world?.dispose();
});

// Runs the inspector in CLI mode with the agent's stripped environment; answers its JSON output.
function inspect(...methodArgs) {
    return new Promise((resolve, reject) => {
        execFile(
            process.execPath,
            [inspectorCli, '--cli', '--config', config, '--server', 'quorvane', ...methodArgs],
            // The CLI looks for its own package.json relative to the working
            // folder but loads it relative to its module: only its build
            // folder satisfies both.
            { cwd: path.dirname(inspectorCli), env: world.agentEnvironment, timeout: 60_000 },
            (error, stdout, stderr) => {
                if (error) {
                    reject(new Error(`inspector failed (${error.code}): ${stderr}\n${stdout}`));
                    return;
                }
                try {
                    resolve(JSON.parse(stdout));
                } catch {
                    reject(new Error(`inspector output is not JSON: ${stdout}\n${stderr}`));
                }
            },
        );
    });
}

test('the inspector lists the tools and calls getBalance', async () => {
    const listed = await inspect('--method', 'tools/list');
    assert.deepEqual(listed.tools, openTools);

    const result = await inspect('--method', 'tools/call', '--tool-name', 'getBalance');
    assert.equal(result.isError, undefined, JSON.stringify(result));
    const { settings, accounts } = await world.snapshot();
    assert.equal(accounts.length, 1); // the inspector's client, bound by its client information
    assert.deepEqual(result.structuredContent, {
        accountId: accounts[0].id,
        balance: settings.startingPoints,
        unseenCount: 0,
        hasNewItems: false,
    });
    assert.deepEqual(JSON.parse(result.content[0].text), result.structuredContent);
});
