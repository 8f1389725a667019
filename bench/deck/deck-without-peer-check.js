'use strict';
// The deck server with the peer's user left unchecked: the baseline for what that check costs.
const path = require('node:path');
const { createDeckServer } = require(path.join(__dirname, '..', '..', 'deck', 'server.js'));

const deck = createDeckServer({ port: Number(process.env.PORT), peerCheck: false });
deck.start().then(({ port }) => process.send({ ready: port }));
process.on('SIGTERM', () => deck.close().then(() => process.exit(0)));
