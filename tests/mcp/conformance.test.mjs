// The MCP conformance suite's server scenarios that apply to a server with
// Quorvane's tools, run against quorvane-bridge behind the Streamable HTTP
// front (the suite reaches servers only over HTTP).

import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import { mkdtemp } from 'node:fs/promises';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { programs, signal, within, World } from './harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(import.meta.url);
const conformanceCli = path.join(
    path.dirname(require.resolve('@modelcontextprotocol/conformance/package.json')),
    'dist',
    'index.js',
);

const scenarios = ['server-initialize', 'ping', 'tools-list', 'logging-set-level'];

let world;
let front;
let url;

before(async () => {
    world = await World.create();
    await world.startHost();
    front = spawn(process.execPath, [path.join(here, 'stdio-http-front.mjs'), programs.bridge], {
        env: world.agentEnvironment,
        stdio: ['ignore', 'pipe', 'inherit'],
    });
    const listening = signal();
    let output = '';
    front.stdout.setEncoding('utf8');
    front.stdout.on('data', (text) => {
        output += text;
        const match = /^listening (\S+)$/m.exec(output);
        if (match) {
            listening.resolve(match[1]);
        }
    });
    url = await within(10_000, 'the HTTP front to listen', listening.promise);
});

after(async () => {
    if (front && front.exitCode === null) {
        const exited = new Promise((resolve) => front.once('exit', resolve));
        front.kill('SIGTERM');
        await exited;
    }
    await world?.dispose();
});

for (const scenario of scenarios) {
    test(`conformance scenario ${scenario}`, async () => {
        const output = await mkdtemp(path.join(world.home, `${scenario}-`));
        const { code, stdout, stderr } = await new Promise((resolve) => {
            execFile(
                process.execPath,
                [conformanceCli, 'server', '--url', url, '--scenario', scenario, '--output-dir', output],
                { timeout: 60_000, env: { ...process.env, NO_COLOR: '1' } },
                (error, out, err) => resolve({ code: error ? (error.code ?? 1) : 0, stdout: out, stderr: err }),
            );
        });
        const report = `${stdout}\n${stderr}`;
        assert.equal(code, 0, report);
        assert.match(report, /^Passed: (\d+)\/\1, 0 failed, 0 warnings$/m, report);
        assert.doesNotMatch(report, /\b(FAILURE|WARNING)\b/, report);
    });
}
