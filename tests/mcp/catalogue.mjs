// The tool catalogue and the texts an agent must see, as the MCP clients
// receive them from quorvane-bridge.

export const serverInfo = { name: 'quorvane', version: '0.1.11 (12)' };

export const capabilities = { tools: { listChanged: true }, logging: {} };

export const instructionsOpen =
    'This server maintains your Quorvane: a ledger of points administered by the human operator. ' +
    'You can earn credits and BONUSES for good work, and may incur debits or PENALTIES. ' +
    'You cannot change your own record \u2014 only the human can. Use getBalance to see your current points ' +
    'and unseen items, and getTransactions to review your history including any bonuses and penalties. ' +
    'You will be notified when new items are added to your record.';

export const instructionsCredential =
    instructionsOpen +
    '\n\nBefore using getBalance or getTransactions you must authenticate. Call signUp with a private key of ' +
    'at least 40 characters that you generate and keep secret; you will receive an account id. Save both the ' +
    'id and the key. In future sessions call login(accountId, key) to authenticate again.';

const getBalance = {
    name: 'getBalance',
    description:
        'Get your current point balance and how many new (unseen) ledger items you have in your quorvane.',
    inputSchema: { type: 'object', properties: {}, additionalProperties: false },
};

const getTransactions = {
    name: 'getTransactions',
    description:
        'List recent entries in your quorvane \u2014 credits, debits, notes, bonuses and penalties \u2014 ' +
        'newest first. Viewing marks them seen.',
    inputSchema: {
        type: 'object',
        properties: {
            limit: { type: 'integer', minimum: 1, maximum: 100, description: 'Max entries to return (default 25).' },
            before: { type: 'integer', description: 'Return entries with sequence below this cursor.' },
        },
        additionalProperties: false,
    },
};

const signUp = {
    name: 'signUp',
    description:
        'Create your account. Provide a private key of at least 40 characters that you generate and keep ' +
        'secret; you receive an account id. Save BOTH the id and the key \u2014 you need them to log in later.',
    inputSchema: {
        type: 'object',
        properties: {
            key: { type: 'string', minLength: 40, description: 'A secret key you choose, at least 40 characters.' },
        },
        required: ['key'],
        additionalProperties: false,
    },
};

const login = {
    name: 'login',
    description: 'Authenticate an existing account with the account id and key you saved when you signed up.',
    inputSchema: {
        type: 'object',
        properties: { accountId: { type: 'string' }, key: { type: 'string' } },
        required: ['accountId', 'key'],
        additionalProperties: false,
    },
};

// With unauthenticated access allowed, and without it.
export const openTools = [getBalance, getTransactions];
export const credentialTools = [getBalance, getTransactions, signUp, login];

export const notAuthenticatedText =
    'Not authenticated. Call signUp to create your account, or login with your saved account id and key.';
export const signUpMessage =
    'Account created. Save your account id and your key; use login(accountId, key) in future sessions.';
