// localtime for quarvel compiled with emscripten, whose own localtime follows
// the JavaScript engine's time zone and ignores TZ. This one reads TZ from
// the environment handed to the program, as the C library does:
// - unset: the engine's local time (the browser's zone);
// - a zone name that Intl knows (Europe/Paris, UTC, EST5EDT);
// - a POSIX zone without summer time (UTC0, QRV-5:30, <+0530>-5:30);
// - anything else: UTC, as glibc does with a TZ it cannot read.
// POSIX zones with summer-time rules (CET-1CEST,M3.5.0,M10.5.0/3) are read
// as UTC too.

mergeInto(LibraryManager.library, {
  $quarvelZones: {},

  // Milliseconds since the epoch of a UTC calendar time (any year: Date.UTC
  // would read years 0 to 99 as 1900 to 1999).
  $quarvelUtc: function(year, month, day, hour, minute, second) {
    var date = new Date(0);
    date.setUTCFullYear(year, month, day);
    date.setUTCHours(hour, minute, second, 0);
    return date.getTime();
  },

  // The offset east of UTC, in seconds, of a POSIX zone without summer time,
  // or null when `zone` is not one.
  $quarvelFixedOffset: function(zone) {
    var match = /^(?:[A-Za-z]{3,}|<[A-Za-z0-9+-]{3,}>)([+-]?)(\d{1,3})(?::(\d{1,2})(?::(\d{1,2}))?)?$/.exec(zone);
    if (!match) return null;
    var west = Number(match[2]) * 3600 + Number(match[3] || 0) * 60 + Number(match[4] || 0);
    return match[1] === '-' ? west : -west;
  },

  // Calendar fields of `seconds` in `zone`: [year, month 0-11, day, hour,
  // minute, second, offset east of UTC in seconds].
  $quarvelZoneFields__deps: ['$quarvelZones', '$quarvelFixedOffset', '$quarvelUtc'],
  $quarvelZoneFields: function(seconds, zone) {
    if (zone.charAt(0) === ':') zone = zone.slice(1);
    var offset = quarvelFixedOffset(zone);
    var format = quarvelZones[zone];
    if (offset === null && format === undefined) {
      try {
        format = new Intl.DateTimeFormat('en-US', {
          timeZone: zone, hourCycle: 'h23', year: 'numeric', month: 'numeric', day: 'numeric',
          hour: 'numeric', minute: 'numeric', second: 'numeric', era: 'short'
        });
      } catch (e) {
        format = null;  // unknown to Intl: UTC
      }
      quarvelZones[zone] = format;
    }
    if (offset === null && format !== null) {
      var parts = {};
      format.formatToParts(new Date(seconds * 1000)).forEach(function(part) { parts[part.type] = part.value; });
      var year = Number(parts.year);
      if (parts.era === 'BC') year = 1 - year;
      var local = quarvelUtc(year, Number(parts.month) - 1, Number(parts.day), Number(parts.hour),
                             Number(parts.minute), Number(parts.second));
      offset = Math.round(local / 1000) - seconds;
    }
    var date = new Date((seconds + (offset || 0)) * 1000);
    return [date.getUTCFullYear(), date.getUTCMonth(), date.getUTCDate(), date.getUTCHours(),
            date.getUTCMinutes(), date.getUTCSeconds(), offset || 0];
  },

  _localtime_js__deps: ['$ENV', '$quarvelZoneFields', '$quarvelUtc'],
  _localtime_js: function(time, tmPtr) {
    var seconds = {{{ makeGetValue('time', 0, 'i32') }}};
    var zone = ENV['TZ'];
    var fields;
    if (zone === undefined) {
      var here = new Date(seconds * 1000);
      fields = [here.getFullYear(), here.getMonth(), here.getDate(), here.getHours(), here.getMinutes(),
                here.getSeconds(), -here.getTimezoneOffset() * 60];
    } else {
      fields = quarvelZoneFields(seconds, zone);
    }
    var dayStart = quarvelUtc(fields[0], fields[1], fields[2], 0, 0, 0);
    var yearStart = quarvelUtc(fields[0], 0, 1, 0, 0, 0);
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_sec, 'fields[5]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_min, 'fields[4]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_hour, 'fields[3]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_mday, 'fields[2]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_mon, 'fields[1]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_year, 'fields[0] - 1900', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_wday, 'new Date(dayStart).getUTCDay()', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_yday, 'Math.round((dayStart - yearStart) / 86400000)', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_gmtoff, 'fields[6]', 'i32') }}};
    {{{ makeSetValue('tmPtr', C_STRUCTS.tm.tm_isdst, '0', 'i32') }}};
  }
});
