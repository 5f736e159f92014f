// Helpers the SAML manager calls in the embedded browser's page, reached as
// samlManager.js.*. Evaluated again at every load; defines, does not act.
(function () {
  'use strict';

  // The page console reports only its first argument: log them all as one text.
  console.log = function () {
    var parts = [];
    for (var i = 0; i < arguments.length; i++) parts.push(String(arguments[i]));
    console.info(parts.join('\n'));
  };
  console.log('loading SAMLManager.js');

  function logInFailed() {
    samlManager.onLogInFailed();
  }

  samlManager.js = {
    // The text of the web application's message box while it is shown, else null.
    getExtMsg: function () {
      try {
        if (typeof Ext === 'undefined' || !Ext.Msg || !Ext.Msg.isVisible()) return null;
        var text = Ext.Msg.getDialog().body.dom.querySelector('.ext-mb-text');
        return text ? text.innerText : null;
      } catch (e) {
        console.log('getExtMsg', e);
        return null;
      }
    },

    // The web application's session, or an empty object before it has one.
    getSessionInfo: function () {
      try {
        return {
          jsessionid: API.jsessionid,
          arrayid: API.arrayid,
          userId: API.loginUserInfo.userId
        };
      } catch (e) {
        console.log('getSessionInfo', e);
        return {};
      }
    },

    // Ends the session at the service; the answer names the identity
    // provider's logout page (or none).
    logout: function () {
      try {
        var url = samlManager.baseUrl + 'api/logoutWithSAML' +
            '?corpId=' + encodeURIComponent(samlManager.corpId) +
            '&jsessionid=' + encodeURIComponent(samlManager.jsessionid) +
            '&arrayid=' + encodeURIComponent(samlManager.arrayid);
        console.log(url);
        var xhr = new XMLHttpRequest();
        xhr.open('GET', url, true);
        xhr.onload = function () {
          try {
            var result = JSON.parse(xhr.responseText);
            console.log(xhr.responseText);
            var idpUrl = result.result.idpUrl;
            console.log('idpUrl = ', idpUrl);
            samlManager.onLogoutWithSAML(idpUrl);
          } catch (e) {
            console.log('logout', e);
            samlManager.logOutFailed();
          }
        };
        xhr.onerror = xhr.onabort = xhr.ontimeout = function () {
          console.log('logout failed', xhr.statusText);
          samlManager.logOutFailed();
        };
        xhr.timeout = 30000;
        xhr.send();
      } catch (e) {
        console.log('logout', e);
        samlManager.logOutFailed();
      }
    }
  };

  console.log('done');
})();
