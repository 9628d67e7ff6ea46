// Log-in for the viewer page: the one-time start-up link, the log-in form, and who is logged in.
// The session lives in an HttpOnly cookie that this script never sees.

const $ = (selector) => document.querySelector(selector);

async function post(path, body) {
  const response = await fetch(path, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(body ?? {}),
    credentials: 'same-origin',
  });
  let reply = {};
  try {
    reply = await response.json();
  } catch {
    // no JSON body: the status says enough
  }
  return { ok: response.ok, status: response.status, reply };
}

async function whoAmI() {
  const response = await fetch('/api/me', { credentials: 'same-origin' });
  return response.ok ? response.json() : null;
}

function showAccount(me) {
  document.body.classList.remove('logged-out');
  $('#login').hidden = true;
  $('#account').hidden = false;
  const role = me.role === 'admin' ? 'administrator' : 'viewer';
  // The start-up link's account has a bracketed name no stored account can have.
  $('#account-name').textContent = me.user.startsWith('(')
    ? `${role} (start-up link)`
    : `${me.user} (${role})`;
}

function askForPassword(message) {
  document.body.classList.add('logged-out');
  $('#account').hidden = true;
  $('#login').hidden = false;
  $('#login-error').textContent = message ?? '';
  $('#login-user').focus();
  return new Promise((resolve) => {
    $('#login').onsubmit = async (event) => {
      event.preventDefault();
      const { ok, reply } = await post('/api/login', {
        user: $('#login-user').value,
        password: $('#login-password').value,
      });
      $('#login-password').value = '';
      if (!ok) {
        $('#login-error').textContent = reply.error ?? 'log-in failed';
        return;
      }
      showAccount(reply);
      resolve(reply);
    };
  });
}

// Resolves with the account once the page may connect.
export async function ensureLoggedIn() {
  $('#logout').onclick = async () => {
    await post('/api/logout');
    location.reload();
  };
  const url = new URL(location.href);
  const secret = url.searchParams.get('login');
  let notice;
  if (secret) {
    // Out of the address bar and history at once: it works only once anyway.
    url.searchParams.delete('login');
    history.replaceState(null, '', url.pathname + url.search + url.hash);
    const { ok, reply } = await post('/api/login', { token: secret });
    if (!ok) notice = reply.error;
  }
  const me = await whoAmI();
  if (me) {
    showAccount(me);
    return me;
  }
  return askForPassword(notice);
}

// After the signalling connection dropped: a session that ended (expired, logged out in another
// tab, account removed) shows the log-in form again rather than retrying for ever.
export async function checkSession() {
  try {
    const response = await fetch('/api/me', { credentials: 'same-origin' });
    if (response.status === 401) location.reload();
  } catch {
    // the server is down: the page keeps reconnecting
  }
}
