// The alert console: one page, its views shown by the address's fragment
// (#compose, #alerts, #alert/ID, #tokens). Everything the server or a user
// gives is put into the page as text, never as markup.
'use strict';

(function () {
  var kMaxTextBytes = 4096;
  var kUsersPerPage = 20;
  var kRefreshMs = 3000;

  var csrf = '';
  var refreshTimer = 0;
  var usersOffset = 0;
  var usersTotal = 0;
  var usersRequest = 0;
  var searchTimer = 0;
  var alertsBefore = null;
  var picked = []; // names, in the order picked
  var encoder = new TextEncoder();

  function $(id) { return document.getElementById(id); }

  function el(tag, text, className) {
    var e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (className) e.className = className;
    return e;
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
  }

  function showError(text) {
    var line = $('error');
    line.textContent = text;
    line.hidden = !text;
  }

  function pad(n) { return (n < 10 ? '0' : '') + n; }

  // A time from the server (ISO-8601 UTC or null) in the reader's own zone,
  // as the alert page writes its times.
  function when(iso) {
    if (!iso) return '';
    var d = new Date(iso);
    if (isNaN(d.getTime())) return String(iso);
    return d.getFullYear() + '-' + pad(d.getMonth() + 1) + '-' + pad(d.getDate()) + ' ' +
      pad(d.getHours()) + ':' + pad(d.getMinutes()) + ':' + pad(d.getSeconds());
  }

  function timeCell(iso, from, className) {
    var td = el('td', iso ? when(iso) : '\u2014', iso ? className : className + ' none');
    if (iso && from) td.title = 'from ' + from;
    return td;
  }

  var priorityWords = { normal: 'Notice', high: 'High priority', emergency: 'EMERGENCY' };

  // One request of the JSON interface. Resolves to the reply's JSON; on a
  // refusal shows why and rejects (a lost session goes back to sign-in).
  function api(method, path, body) {
    var init = { method: method, credentials: 'same-origin', headers: { 'Accept': 'application/json' } };
    if (body !== undefined) {
      init.headers['Content-Type'] = 'application/json';
      init.body = JSON.stringify(body);
    }
    if (method !== 'GET' && csrf) init.headers['X-CSRF-Token'] = csrf;
    return fetch('api/' + path, init).then(function (reply) {
      return reply.text().then(function (text) {
        var json = null;
        try { json = text ? JSON.parse(text) : {}; } catch (e) { json = null; }
        if (reply.ok && json) return json;
        var why = json && typeof json.error === 'string' ? json.error : 'the server answered ' + reply.status;
        if (reply.status === 429) {
          var after = reply.headers.get('Retry-After');
          if (after) why += ' (try again in ' + after + ' s)';
        }
        var failure = new Error(why);
        failure.status = reply.status;
        throw failure;
      });
    }, function () {
      var failure = new Error('the server cannot be reached');
      failure.status = 0;
      throw failure;
    });
  }

  function refused(failure) {
    if (failure.status === 401) {
      signedOut();
      showError('Your session has ended: sign in again.');
      return;
    }
    showError(failure.message);
  }

  // Views.

  var views = ['signin', 'compose', 'alerts', 'alert', 'tokens'];

  function path() {
    return location.hash.replace(/^#/, '');
  }

  function show(view) {
    views.forEach(function (v) { $(v).hidden = v !== view; });
    var links = document.querySelectorAll('nav a');
    for (var i = 0; i < links.length; ++i) {
      if (links[i].getAttribute('href') === '#' + view) links[i].setAttribute('aria-current', 'page');
      else links[i].removeAttribute('aria-current');
    }
    var heading = $(view).querySelector('h1');
    if (heading && view !== 'signin' && view !== 'compose') heading.focus();
  }

  function route() {
    clearInterval(refreshTimer);
    refreshTimer = 0;
    // A new token is shown once: it leaves the page with its view.
    $('token-made').hidden = true;
    $('token-value').value = '';
    if (!csrf) {
      show('signin');
      $('signin-name').focus();
      return;
    }
    var where = path();
    var detail = /^alert\/(\d+)$/.exec(where);
    if (detail) {
      openAlert(detail[1]);
    } else if (where === 'alerts') {
      show('alerts');
      loadAlerts(false);
    } else if (where === 'tokens') {
      show('tokens');
      loadTokens();
    } else {
      show('compose');
      if (!$('users').firstChild) loadUsers();
      $('text').focus();
    }
  }

  function go(where) {
    if (path() === where) route();
    else location.hash = where;
  }

  function signedIn(session) {
    csrf = session.csrf;
    $('who').textContent = session.admin;
    $('nav').hidden = false;
    showError('');
    route();
  }

  function signedOut() {
    csrf = '';
    showError('');
    $('nav').hidden = true;
    $('who').textContent = '';
    picked = [];
    showPicked();
    usersOffset = 0;
    $('search').value = '';
    clear($('users'));
    route();
  }

  // Sign-in and sign-out.

  $('signin-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var password = $('signin-password');
    api('POST', 'signin', { name: $('signin-name').value, password: password.value }).then(function (session) {
      password.value = '';
      signedIn(session);
    }, function (failure) {
      password.value = '';
      showError(failure.status === 401 ? 'Wrong name or password.' : failure.message);
      password.focus();
    });
  });

  $('signout').addEventListener('click', function () {
    api('POST', 'signout', {}).then(signedOut, function (failure) {
      if (failure.status === 401) signedOut();
      else showError(failure.message);
    });
  });

  // Compose.

  function textBytes() {
    return encoder.encode($('text').value).length;
  }

  function countText() {
    var bytes = textBytes();
    var count = $('count');
    count.textContent = String(bytes);
    count.className = bytes > kMaxTextBytes ? 'over' : '';
  }
  $('text').addEventListener('input', countText);

  function showPicked() {
    $('picked').textContent = picked.length ? picked.join(', ') : 'nobody';
  }

  function userRow(user, index) {
    var li = el('li');
    var box = document.createElement('input');
    box.type = 'checkbox';
    box.id = 'user-' + index;
    box.value = user.name;
    box.checked = picked.indexOf(user.name) >= 0;
    box.addEventListener('change', function () {
      var at = picked.indexOf(user.name);
      if (box.checked && at < 0) picked.push(user.name);
      if (!box.checked && at >= 0) picked.splice(at, 1);
      if (picked.length) $('to-some').checked = true;
      showPicked();
    });
    var full = [user.firstname, user.lastname].filter(Boolean).join(' ');
    var label = el('label', user.name + (full ? ' (' + full + ')' : '') + (user.email ? ' ' + user.email : ''));
    label.htmlFor = box.id;
    li.appendChild(box);
    li.appendChild(label);
    return li;
  }

  // Only the latest request's answer is shown: answers to earlier searches
  // may come after it. The list is busy until then.
  function loadUsers() {
    var query = 'users?q=' + encodeURIComponent($('search').value) + '&offset=' + usersOffset +
      '&limit=' + kUsersPerPage;
    var mine = ++usersRequest;
    var list = $('users');
    list.setAttribute('aria-busy', 'true');
    api('GET', query).then(function (page) {
      if (mine !== usersRequest) return;
      list.setAttribute('aria-busy', 'false');
      clear(list);
      usersTotal = page.total;
      page.users.forEach(function (user, i) { list.appendChild(userRow(user, i)); });
      var first = page.users.length ? page.offset + 1 : 0;
      $('users-range').textContent = first + '\u2013' + (page.offset + page.users.length) + ' of ' + page.total;
      $('users-prev').disabled = page.offset <= 0;
      $('users-next').disabled = page.offset + page.users.length >= page.total;
    }, function (failure) {
      if (mine !== usersRequest) return;
      list.setAttribute('aria-busy', 'false');
      refused(failure);
    });
  }

  $('search').addEventListener('input', function () {
    $('users').setAttribute('aria-busy', 'true');
    clearTimeout(searchTimer);
    searchTimer = setTimeout(function () { usersOffset = 0; loadUsers(); }, 250);
  });
  $('search').addEventListener('keydown', function (event) {
    if (event.key === 'Enter') { // finds at once rather than sending the form
      event.preventDefault();
      clearTimeout(searchTimer);
      usersOffset = 0;
      loadUsers();
    }
  });
  function pickerShown() { $('picker').hidden = $('to-all').checked; }
  $('to-all').addEventListener('change', pickerShown);
  $('to-some').addEventListener('change', pickerShown);
  $('users-prev').addEventListener('click', function () {
    usersOffset = Math.max(0, usersOffset - kUsersPerPage);
    loadUsers();
  });
  $('users-next').addEventListener('click', function () {
    if (usersOffset + kUsersPerPage < usersTotal) usersOffset += kUsersPerPage;
    loadUsers();
  });

  $('compose-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var text = $('text').value;
    if (!text.trim()) return showError('The alert has no text.');
    if (textBytes() > kMaxTextBytes) return showError('The text is longer than 4096 bytes.');
    var body = { text: text, priority: $('priority').value };
    if ($('to-all').checked) {
      body.all = true;
    } else if (picked.length) {
      body.users = picked.slice();
    } else {
      return showError('Pick at least one user, or everyone.');
    }
    if ($('expiry').value) body.expires_in = Number($('expiry').value);
    var copies = [];
    if ($('copy-email').checked) copies.push('email');
    if ($('copy-sms').checked) copies.push('sms');
    if (copies.length) {
      body.copies = copies;
      if ($('escalate').value) body.escalate_after = Number($('escalate').value);
    }
    var send = $('send');
    send.disabled = true;
    api('POST', 'alerts', body).then(function (answer) {
      send.disabled = false;
      showError('');
      $('text').value = '';
      countText();
      var ids = answer.alerts.map(function (a) { return a.id; });
      go(ids.length ? 'alert/' + Math.min.apply(null, ids) : 'alerts');
    }, function (failure) {
      send.disabled = false;
      refused(failure);
    });
  });

  // Recent alerts.

  function loadAlerts(older) {
    if (!older) alertsBefore = null;
    var query = 'alerts?limit=50' + (alertsBefore !== null ? '&before=' + alertsBefore : '');
    api('GET', query).then(function (page) {
      var rows = $('alerts-rows');
      if (!older) clear(rows);
      page.alerts.forEach(function (a) {
        var tr = el('tr', null, a.priority);
        tr.setAttribute('data-id', a.id);
        tr.appendChild(el('td', when(a.raised)));
        tr.appendChild(el('td', null)).appendChild(el('span', priorityWords[a.priority] || a.priority, 'priority'));
        var link = el('a', a.text.length > 80 ? a.text.slice(0, 80) + '\u2026' : a.text);
        link.href = '#alert/' + encodeURIComponent(a.id);
        tr.appendChild(el('td')).appendChild(link);
        tr.appendChild(el('td', a.recipients));
        tr.appendChild(el('td', a.told, 'told'));
        tr.appendChild(el('td', a.shown, 'shown'));
        tr.appendChild(el('td', a.acknowledged, 'acknowledged'));
        rows.appendChild(tr);
      });
      alertsBefore = page.next_before === undefined ? null : page.next_before;
      $('alerts-more').hidden = alertsBefore === null;
      if (!rows.firstChild) rows.appendChild(el('tr')).appendChild(el('td', 'No alerts yet.'));
    }, refused);
  }
  $('alerts-more').addEventListener('click', function () { loadAlerts(true); });

  // One alert, refreshed while open.

  function showAlert(a) {
    $('alert-id').textContent = String(a.id);
    var priority = $('alert-priority');
    priority.textContent = priorityWords[a.priority] || a.priority;
    priority.className = 'priority ' + a.priority;
    $('alert-raised').textContent = when(a.raised);
    var state = '';
    if (a.expires) state += ', expires ' + when(a.expires);
    if (a.resolved) state += ', resolved ' + when(a.resolved);
    $('alert-state').textContent = state;
    $('alert-text').textContent = a.text;
    var rows = $('receipts');
    clear(rows);
    a.recipients.forEach(function (r) {
      var tr = el('tr', null, r.acknowledged ? 'acknowledged' : '');
      tr.setAttribute('data-user', r.user);
      tr.appendChild(el('td', r.user, 'user'));
      tr.appendChild(timeCell(r.raised, null, 'raised'));
      tr.appendChild(timeCell(r.told, r.told_from, 'told'));
      tr.appendChild(timeCell(r.shown, r.shown_from, 'shown'));
      tr.appendChild(timeCell(r.acknowledged, r.acknowledged_from, 'acknowledged'));
      tr.appendChild(el('td', r.copies || '', 'copies'));
      rows.appendChild(tr);
    });
  }

  function openAlert(id) {
    show('alert');
    clear($('receipts'));
    $('alert-text').textContent = '';
    var busy = false;
    var fetchOnce = function () {
      if (busy) return;
      busy = true;
      api('GET', 'alerts/' + id).then(function (a) {
        busy = false;
        if (path() === 'alert/' + id) showAlert(a);
      }, function (failure) {
        busy = false;
        clearInterval(refreshTimer);
        refused(failure);
      });
    };
    fetchOnce();
    refreshTimer = setInterval(fetchOnce, kRefreshMs);
  }

  // Tokens.

  function loadTokens() {
    api('GET', 'tokens').then(function (answer) {
      var rows = $('token-rows');
      clear(rows);
      answer.tokens.forEach(function (t) {
        var tr = el('tr');
        tr.setAttribute('data-label', t.label);
        tr.appendChild(el('td', t.label));
        tr.appendChild(el('td', t.scope));
        tr.appendChild(el('td', when(t.created)));
        tr.appendChild(el('td', t.last_used ? when(t.last_used) : 'never'));
        var revoke = el('button', 'Revoke');
        revoke.type = 'button';
        revoke.setAttribute('aria-label', 'Revoke ' + t.label);
        revoke.addEventListener('click', function () {
          // A second press confirms: a stray key press revokes nothing.
          if (revoke.textContent === 'Revoke') {
            revoke.textContent = 'Press again to revoke';
            return;
          }
          api('POST', 'tokens/revoke', { label: t.label }).then(loadTokens, refused);
        });
        tr.appendChild(el('td')).appendChild(revoke);
        rows.appendChild(tr);
      });
      if (!rows.firstChild) rows.appendChild(el('tr')).appendChild(el('td', 'No tokens.'));
    }, refused);
  }

  $('token-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var password = $('token-password');
    var body = { password: password.value, scope: $('token-scope').value };
    if ($('token-label').value) body.label = $('token-label').value;
    api('POST', 'tokens', body).then(function (made) {
      password.value = '';
      $('token-label').value = '';
      showError('');
      $('token-made-label').textContent = made.label;
      $('token-value').value = made.token;
      $('token-made').hidden = false;
      $('token-value').select();
      $('token-value').focus();
      loadTokens();
    }, function (failure) {
      password.value = '';
      refused(failure);
    });
  });

  // Start: a live session goes straight to the console.

  window.addEventListener('hashchange', function () { showError(''); route(); });
  api('GET', 'session').then(signedIn, function (failure) {
    if (failure.status !== 401) showError(failure.message);
    signedOut();
  });
}());
