<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>tarvik_gui</name>
    <message>
        <source>TXT_LOGIN_TITLE</source>
        <translation>Sign in to Ambermoor</translation>
    </message>
    <message>
        <source>TXT_USE_CERT</source>
        <translation>Use a client certificate</translation>
    </message>
    <message>
        <source>TXT_CERT_FILE</source>
        <translation>Certificate</translation>
    </message>
    <message>
        <source>TXT_CORP_ID</source>
        <translation>Corporate ID</translation>
    </message>
    <message>
        <source>TXT_USER_ID</source>
        <translation>User ID</translation>
    </message>
    <message>
        <source>TXT_PASS</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>TXT_RESET_PASS</source>
        <translation>Forgot your password?</translation>
    </message>
    <message>
        <source>TXT_SETTING</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>TXT_LOGIN</source>
        <translation>Sign in</translation>
    </message>
    <message>
        <source>TXT_RELOGIN</source>
        <translation>Sign in again</translation>
    </message>
    <message>
        <source>TXT_CANCEL</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>TXT_OPEN_LOGIN</source>
        <translation>Open the sign-in window</translation>
    </message>
    <message>
        <source>TXT_OPEN_DRIVE</source>
        <translation>Open the drive</translation>
    </message>
    <message>
        <source>TXT_HELP</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>TXT_VERSION</source>
        <translation>About</translation>
    </message>
    <message>
        <source>TXT_LOGOUT</source>
        <translation>Sign out</translation>
    </message>
    <message>
        <source>TXT_QUIT</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>TXT_NOT_INPUT_MSG</source>
        <translation> is empty.</translation>
    </message>
    <message>
        <source>TXT_NOT_INPUT_PASS_MSG</source>
        <translation>Please enter your password.</translation>
    </message>
    <message>
        <source>TXT_CERT_NOT_FOUND_MSG</source>
        <translation>The selected client certificate cannot be found.</translation>
    </message>
    <message>
        <source>TXT_NOT_SELECT_CERT_MSG</source>
        <translation>Please select a client certificate.</translation>
    </message>
    <message>
        <source>TXT_SELECT_CERT_MSG</source>
        <translation>Select a certificate</translation>
    </message>
    <message>
        <source>TXT_LOGOUTING</source>
        <translation>Signing out…</translation>
    </message>
    <message>
        <source>TXT_LOGOUT_FAIL_MSG</source>
        <translation>Signing out failed. Close the applications that use the drive and try again.</translation>
    </message>
    <message>
        <source>TXT_ERROR</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>TXT_CONFIRM</source>
        <translation>Confirm</translation>
    </message>
    <message>
        <source>TXT_PROXY_TITLE</source>
        <translation>Proxy</translation>
    </message>
    <message>
        <source>TXT_USE_PROXY</source>
        <translation>Connect through a proxy server</translation>
    </message>
    <message>
        <source>TXT_KIND</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>TXT_ADDRESS</source>
        <translation>Address</translation>
    </message>
    <message>
        <source>TXT_PORT</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>TXT_USER_NAME</source>
        <translation>User name</translation>
    </message>
    <message>
        <source>TXT_PROXY_EXCLUDED</source>
        <translation>No proxy for</translation>
    </message>
    <message>
        <source>TXT_CACHE</source>
        <translation>Cache</translation>
    </message>
    <message>
        <source>TXT_CACHE_USAGE</source>
        <translation>In use</translation>
    </message>
    <message>
        <source>TXT_CLEAR_CACHE</source>
        <translation>Clear the cache</translation>
    </message>
    <message>
        <source>TXT_AUTO_CLEAR_CACHE</source>
        <translation>Clear the cache at every sign-in</translation>
    </message>
    <message>
        <source>TXT_LOGIN_SETTING_TITLE</source>
        <translation>Sign-in</translation>
    </message>
    <message>
        <source>TXT_SAVE_PASSWORD</source>
        <translation>Remember the password</translation>
    </message>
    <message>
        <source>TXT_AUTO_LOGIN</source>
        <translation>Sign in automatically at start</translation>
    </message>
    <message>
        <source>TXT_DRIVE</source>
        <translation>Drive</translation>
    </message>
    <message>
        <source>TXT_OUTPUT_LOG</source>
        <translation>Write a log file</translation>
    </message>
    <message>
        <source>TXT_SITE</source>
        <translation>Site</translation>
    </message>
    <message>
        <source>TXT_SITE_MAIN</source>
        <translation>Main site</translation>
    </message>
    <message>
        <source>TXT_SITE_SUB</source>
        <translation>Disaster-recovery site</translation>
    </message>
    <message>
        <source>TXT_SITE_DESCRIPTION</source>
        <translation>&lt;html&gt;&lt;head/&gt;&lt;body&gt;&lt;p&gt;Please note&lt;/p&gt;&lt;p&gt;In normal operation, use the main site.&lt;/p&gt;&lt;p&gt;The disaster-recovery site is available only after the service provider has declared a disaster recovery and completed the switch-over; then change the site here to use it.&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</translation>
    </message>
    <message>
        <source>TXT_BASIC_SETTINGS</source>
        <translation>General</translation>
    </message>
    <message>
        <source>TXT_SAML_DESCRIPTION</source>
        <translation>To sign in on this computer through your company's SAML identity provider, turn on "Use SAML sign-in" and enter your corporate ID.
SAML sign-in must have been ordered for your company.</translation>
    </message>
    <message>
        <source>TXT_SAML_CHECK</source>
        <translation>Use SAML sign-in</translation>
    </message>
    <message>
        <source>TXT_SAML_CHARS_INPUT</source>
        <translation>Confirmation code</translation>
    </message>
    <message>
        <source>TXT_SAML_CHARS_INPUT_REGENERATE</source>
        <translation>New code</translation>
    </message>
    <message>
        <source>TXT_SAML_CHARS_PROMPT</source>
        <translation>Type the code shown above.</translation>
    </message>
    <message>
        <source>TXT_SAML_SETTINGS_CLEAR</source>
        <translation>Clear SAML settings</translation>
    </message>
    <message>
        <source>TXT_SAML_SETTINGS</source>
        <translation>SAML sign-in</translation>
    </message>
    <message>
        <source>TXT_INVALID_URL_ERROR</source>
        <translation>The site is not valid.</translation>
    </message>
    <message>
        <source>TXT_SAML_EMPTY</source>
        <translation>Please fill in every field.</translation>
    </message>
    <message>
        <source>TXT_SAML_INVALID</source>
        <translation>The entry is not valid.</translation>
    </message>
    <message>
        <source>TXT_SAML_PKI_ENABLED_ERROR</source>
        <translation>SAML sign-in cannot be used together with a client certificate.</translation>
    </message>
    <message>
        <source>TXT_UNSUPPORTED_PROXY</source>
        <translation>SAML sign-in cannot use this proxy type. Choose HTTP or SOCKS5.</translation>
    </message>
    <message>
        <source>TXT_CLEAR_CACHE_CONFIRM_MSG</source>
        <translation>Clear the cache?</translation>
    </message>
    <message>
        <source>TXT_SAML_SETTINGS_WILL_CLEAR</source>
        <translation>Clear the SAML sign-in settings?</translation>
    </message>
    <message>
        <source>TXT_ANNOUNCEMENT</source>
        <translation>Announcement</translation>
    </message>
    <message>
        <source>TXT_MODIFIED_DATE</source>
        <translation>Updated:</translation>
    </message>
    <message>
        <source>TXT_NOT_SHOW_AGAIN</source>
        <translation>Do not show this again</translation>
    </message>
    <message>
        <source>TXT_LOADING</source>
        <translation>Loading…</translation>
    </message>
    <message>
        <source>TXT_LOGGING_IN</source>
        <translation>Signing in…</translation>
    </message>
    <message>
        <source>TXT_LOGGED_OUT</source>
        <translation>You have signed out.</translation>
    </message>
    <message>
        <source>TXT_SAML_DISABLED</source>
        <translation>SAML sign-in is not enabled for this corporate ID.</translation>
    </message>
    <message>
        <source>TXT_SAML_LOGIN_FAILED</source>
        <translation>SAML sign-in failed.</translation>
    </message>
    <message>
        <source>TXT_SAML_SSL_ERROR</source>
        <translation>The server's certificate could not be verified; the connection was refused.</translation>
    </message>
    <message>
        <source>TXT_SAML_HOST_NOT_FOUND_ERROR</source>
        <translation>The server cannot be reached. Check the network and proxy settings.</translation>
    </message>
    <message>
        <source>TXT_PENDING_UPLOAD_ONE</source>
        <translation>1 file waits for upload</translation>
    </message>
    <message>
        <source>TXT_PENDING_UPLOADS</source>
        <translation>%1 files wait for upload</translation>
    </message>
    <message>
        <source>TXT_UPLOAD_KEPT_TITLE</source>
        <translation>File kept for upload</translation>
    </message>
    <message>
        <source>TXT_UPLOAD_DONE_TITLE</source>
        <translation>Uploads complete</translation>
    </message>
    <message>
        <source>TXT_UPLOAD_CONFLICT_TITLE</source>
        <translation>File uploaded under another name</translation>
    </message>
    <message>
        <source>TXT_LEAVE_PENDING_ONE_MSG</source>
        <translation>1 file is not uploaded yet. It will be uploaded at your next sign-in.</translation>
    </message>
    <message>
        <source>TXT_LEAVE_PENDING_MSG</source>
        <translation>%1 files are not uploaded yet. They will be uploaded at your next sign-in.</translation>
    </message>
    <message>
        <source>TXT_LEAVE_OPEN_ONE_MSG</source>
        <translation>1 file is still open for writing on the drive. The program writing it loses what it has not saved yet.</translation>
    </message>
    <message>
        <source>TXT_LEAVE_OPEN_MSG</source>
        <translation>%1 files are still open for writing on the drive. The programs writing them lose what they have not saved yet.</translation>
    </message>
    <message>
        <source>TXT_LEAVE_CONFIRM_MSG</source>
        <translation>Do you want to continue?</translation>
    </message>
</context>
</TS>
