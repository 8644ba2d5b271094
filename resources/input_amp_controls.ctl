/*
 * Rivu Input Amp Control List
 *
 */

// List title: names can be a single string, or a list of countrycode/string pairs
{  eng, "Rivu" },

  helpfile = "RivuHelp",
  helptopic = "Rivu_Devices",
  
// List of controls
{
// HideMe checkbox
"HideMe", checkbox, HideMe,
   {
   "", {},
   "", default, { hide(HideMe) }
   }
}
