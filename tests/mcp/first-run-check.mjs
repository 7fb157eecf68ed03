// Reads a balance the way a newly configured MCP client would: the official
// SDK starts the given bridge command with the environment SDK clients pass
// (a few variables only: no XDG folders), initializes and calls getBalance.
//
// Usage: node first-run-check.mjs BRIDGE_COMMAND
// Prints the balance and exits 0, or prints why not and exits 1.

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const command = process.argv[2];
if (!command) {
    console.error('usage: node first-run-check.mjs BRIDGE_COMMAND');
    process.exit(2);
}

const timer = setTimeout(() => {
    console.error('first-run check: no balance within 60 s');
    process.exit(1);
}, 60_000);

try {
    // No `env`: the transport passes only its default environment.
    const transport = new StdioClientTransport({ command, stderr: 'inherit' });
    const client = new Client({ name: 'first-run-check', version: '1.0.0' });
    await client.connect(transport);
    const result = await client.callTool({ name: 'getBalance', arguments: {} });
    const balance = result.structuredContent?.balance;
    if (result.isError || typeof balance !== 'number') {
        throw new Error(`getBalance answered ${JSON.stringify(result)}`);
    }
    console.log(`first-run check: balance ${balance}`);
    await client.close();
    clearTimeout(timer);
    process.exit(0);
} catch (error) {
    console.error(`first-run check: ${error.message}`);
    process.exit(1);
}
