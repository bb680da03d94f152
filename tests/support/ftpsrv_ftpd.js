#!/usr/bin/env node
// ftp-srv (npm) for Kestrel's tests: one user with full write access in one directory, plain
// FTP, explicit TLS (AUTH TLS) or implicit TLS (from the first byte).
//
//     node ftpsrv_ftpd.js --modules DIR --address A --port P --root ROOT --user U --password W
//                         [--cert CERT.pem --key KEY.pem [--implicit]] [--debug]
//
// DIR is the folder that holds node_modules/ftp-srv (scripts/test_servers.sh installs it into
// build/test-servers/node). Passive connections are offered on the same address. Logs to
// standard output.
'use strict';

const fs = require('fs');
const path = require('path');

function parse(argv) {
    const options = {};
    for (let i = 0; i < argv.length; ++i) {
        const name = argv[i].replace(/^--/, '');
        if (name === 'implicit' || name === 'debug') {
            options[name] = true;
        } else {
            options[name] = argv[++i];
        }
    }
    for (const required of ['modules', 'address', 'port', 'root', 'user', 'password']) {
        if (options[required] === undefined) {
            console.error(`missing --${required}`);
            process.exit(2);
        }
    }
    return options;
}

const options = parse(process.argv.slice(2));
const FtpSrv = require(path.join(options.modules, 'node_modules', 'ftp-srv'));
const bunyan = require(path.join(options.modules, 'node_modules', 'bunyan'));

const tls = options.cert
    ? {cert: fs.readFileSync(options.cert), key: fs.readFileSync(options.key)}
    : false;
const server = new FtpSrv({
    url: `${options.implicit ? 'ftps' : 'ftp'}://${options.address}:${options.port}`,
    // The address itself, also to a client on 127.0.0.1 (which ftp-srv would otherwise be given
    // as the address to connect to, since it takes that client for a local one).
    pasv_url: () => options.address,
    tls,
    greeting: ['Kestrel test server (ftp-srv)'],
    log: bunyan.createLogger({name: 'ftp-srv', level: options.debug ? 'trace' : 'info'}),
});
server.on('login', ({username, password}, resolve, reject) => {
    if (username === options.user && password === options.password) {
        resolve({root: options.root});
    } else {
        reject(new Error('wrong user or password'));
    }
});
server.listen().catch((error) => {
    console.error(error);
    process.exit(1);
});
