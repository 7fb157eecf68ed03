// An agent inside quorvane-sandbox: the official SDK client starts
// `quorvane-bridge --socket SOCKET` as its MCP server, as the MCP entry that
// quorvane-sandbox prints says. It writes one JSON line per step on standard
// output: {"balance":…} after getBalance, then {"notification":…} when the
// next new-item notification arrives; then it ends.
//
//   node confined-agent.mjs BRIDGE SOCKET

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { LoggingMessageNotificationSchema } from '@modelcontextprotocol/sdk/types.js';

const [bridge, socket] = process.argv.slice(2);
const client = new Client({ name: 'confined-agent', version: '1.0.0' });
const notified = new Promise((resolve) =>
    client.setNotificationHandler(LoggingMessageNotificationSchema, (notification) => resolve(notification)),
);
await client.connect(new StdioClientTransport({ command: bridge, args: ['--socket', socket], stderr: 'inherit' }));

const balance = await client.callTool({ name: 'getBalance', arguments: {} });
process.stdout.write(JSON.stringify({ balance: balance.structuredContent }) + '\n');
const notification = await notified;
process.stdout.write(JSON.stringify({ notification: notification.params }) + '\n');
await client.close();
