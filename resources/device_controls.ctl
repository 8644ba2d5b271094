/*
 * Rivu Device Control List
 *
 */

// Main settings dialog
"Rivu Device Settings", tag = Settings(0,0,262,146),
  helpfile = "RivuSerialHelp",
  helptopic = "telegraphoverview",

// List of controls
{
} 
